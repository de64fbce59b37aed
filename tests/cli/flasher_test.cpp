// The flasher's run as a whole on scripted ports and virtual time: what a script sees on its two
// streams and in the exit code, for one device and for a gang, for broken files, device faults and
// an interrupt in the middle of a download.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/flasher.h"
#include "cli/station.h"
#include "image/loaded_file.h"
#include "station/run_log.h"
#include "tests/support/fake_port.h"
#include "tests/support/hex_text.h"

namespace kv {
namespace {

using test::FakePort;
using test::VirtualClock;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// How the fake device answers: every command well, except the faults a test asks for.
struct DeviceScript {
  std::set<uint16_t> failingPages;  // E5 16 every time
  bool eraseSilent = false;         // no reply to an erase
  int interruptAfterPages = -1;     // raise the interrupt flag once this many pages were programmed
};

// What a device's port went through, kept after the flasher has destroyed the port.
struct PortRecord {
  std::vector<std::string> calls;
  std::vector<std::vector<uint8_t>> packets;
  int opens = 0;
  bool openAtEnd = false;
  uint64_t virtualMs = 0;
};

class RecordedPort : public FakePort {
 public:
  RecordedPort(VirtualClock& clock, PortRecord& record) : FakePort(clock), clock_(clock), record_(record) {}
  ~RecordedPort() override {
    record_.calls = calls;
    for (const auto& write : writes) record_.packets.push_back(write.bytes);
    record_.opens = static_cast<int>(openedPorts.size());
    record_.openAtEnd = IsOpen();
    record_.virtualMs = clock_.now;
  }

 private:
  VirtualClock& clock_;
  PortRecord& record_;
};

class FlasherRun : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() /
        ("kv_cli_flasher_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Runs the flasher with a fake device behind every target.
  int Run(const FlashOptions& options) {
    Console console(out_, err_, ProgressStyle::None);
    const PortDirectory ports = Ports();
    FlasherEnvironment environment{
        console, ports, MakeLinkFunction(), interrupted_, std::chrono::steady_clock::now(), startThread_};
    return RunFlasher(options, environment);
  }

  // Runs a station over an empty machine; `enters` is how many times Enter is pressed.
  int RunStationWith(const FlashOptions& options, int enters = 0) {
    Console console(out_, err_, ProgressStyle::None);
    const PortDirectory ports = Ports();
    FlasherEnvironment environment{
        console, ports, MakeLinkFunction(), interrupted_, std::chrono::steady_clock::now(), startThread_};
    const std::atomic<unsigned> interrupts{0};
    StationEnvironment station{interrupts, [&enters] { return enters-- > 0; }};
    return RunStation(options, environment, station);
  }

  // The machine under the test's folder, whose every look is survey_, counted in surveys_.
  PortDirectory Ports() {
    return PortDirectory(
        {folder_.string(), {}}, [](const char*) -> const char* { return nullptr; },
        [this](const PortPlaces&) {
          ++surveys_;
          return survey_;
        });
  }

  LinkMaker MakeLinkFunction() {
    return [this](const DeviceTarget& target, const PortResolver& ports) { return MakeLink(target, ports); };
  }

  SerialLink MakeLink(const DeviceTarget& target, const PortResolver& ports) {
    std::lock_guard lock(mutex_);
    links_.push_back(target.name);
    if (!target.ByPath()) resolved_[target.name] = ports.Resolve(target.portNumber).device;
    PortRecord& record = records_[target.name];
    const DeviceScript script = scripts_[target.name];
    auto clock = std::make_unique<VirtualClock>();
    auto port = std::make_unique<RecordedPort>(*clock, record);
    auto pages = std::make_shared<int>(0);
    port->responder = [this, script, pages](FakePort& device, const std::vector<uint8_t>& packet) {
      switch (packet[1]) {
        case 0x10:
          if (!script.eraseSilent) device.QueueReplies({0xE5, 0x68});
          break;
        case 0x11: {
          const uint16_t page = static_cast<uint16_t>(packet[2] | packet[3] << 8);
          device.QueueReplies({0xE5, static_cast<uint8_t>(script.failingPages.count(page) ? 0x16 : 0x68)});
          if (++*pages == script.interruptAfterPages) interrupted_.store(true);
          break;
        }
        default:
          device.QueueReply(0xE5);
      }
    };
    return {std::move(clock), std::move(port)};
  }

  std::vector<std::string> OutLines() const { return Split(out_.str()); }
  std::vector<std::string> ErrLines() const { return Split(err_.str()); }
  static std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  static size_t PagePackets(const PortRecord& record) {
    size_t count = 0;
    for (const auto& packet : record.packets) count += packet[1] == 0x11;
    return count;
  }

  std::string Sector1File() {
    test::FileData data;
    test::AddBytes(data, 0x10000, 0x300);  // pages 0x100 to 0x102
    return WriteFile("app.hex", test::HexText(data));
  }
  std::string MultiSectorFile() {
    test::FileData data;
    test::AddBytes(data, 0x20000, 0x600);  // pages 0x200-0x205
    test::AddBytes(data, 0x7C000, 0x100);  // page 0x7C0
    return WriteFile("multi.hex", test::HexText(data));
  }

  std::filesystem::path folder_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::atomic<bool> interrupted_{false};
  std::mutex mutex_;
  std::map<std::string, DeviceScript> scripts_;
  std::map<std::string, PortRecord> records_;
  std::vector<std::string> links_;
  std::map<std::string, std::string> resolved_;  // what each target by number was given to open
  PortSurvey survey_;
  std::atomic<int> surveys_{0};
  ThreadStarter startThread_ = StartThread;
};

TEST_F(FlasherRun, OneDevicePrintsTheLoadEachStepAndTheOutcomeLast) {
  FlashOptions options;
  options.devices = {TargetForPort(2)};
  options.file = Sector1File();
  EXPECT_EQ(Run(options), 0);
  EXPECT_THAT(OutLines(), ElementsAre("Loaded file: " + UpperCasePath(options.file), "Erasing sector #1...",
                                      "Programming sector #1", "File successfully loaded"));
  EXPECT_EQ(err_.str(), "");
  const PortRecord& port = records_["COM2"];
  EXPECT_EQ(port.calls.front(), "open 2");
  EXPECT_FALSE(port.openAtEnd);
  EXPECT_EQ(PagePackets(port), 3u);
}

TEST_F(FlasherRun, QuietPrintsOnlyTheOutcome) {
  FlashOptions options;
  options.devices = {TargetForPort(1)};
  options.file = Sector1File();
  options.quiet = true;
  scripts_["COM1"].failingPages = {0x101};
  EXPECT_EQ(Run(options), 9);
  EXPECT_THAT(OutLines(), ElementsAre("Flash programming error"));
}

TEST_F(FlasherRun, BrokenFilesAreNeverSent) {
  struct Row {
    std::string text;
    int code;
    std::string line;
    std::string where;  // after the file's name on standard error
  };
  test::FileData data;
  test::AddBytes(data, 0x10000, 0x20);
  std::string cutShort = test::HexText(data);
  cutShort.resize(cutShort.find(":00000001FF"));  // readable data, no end record
  const Row rows[] = {
      {cutShort, 3, "Invalid HEX format", ":3: the file ends without an end record (:00000001FF)"},
      {":020000021800E4\r\n:00000001FF\r\n", 4, "Illegal segment alignment",
       ":1: segment value 1800; this loader takes 0000 to 7000 in steps of 1000"},
      {"\r\n:020000040001F9\r\n:00000001FF\r\n", 5, "Unsupported record type", ":2: record type 04 ("},
  };
  for (const Row& row : rows) {
    FlashOptions options;
    options.devices = {TargetForPort(1)};
    options.file = WriteFile("broken.hex", row.text);
    options.quiet = true;  // the reader's verdict is the final outcome: printed even so
    out_.str("");
    err_.str("");
    EXPECT_EQ(Run(options), row.code) << row.line;
    EXPECT_THAT(OutLines(), ElementsAre(row.line));
    EXPECT_THAT(ErrLines(), ElementsAre(testing::StartsWith(options.file + row.where)));
  }
  EXPECT_TRUE(links_.empty()) << "no port may be opened for a broken file";
}

TEST_F(FlasherRun, MissingFileShowsTheReadersMessageOnStandardError) {
  FlashOptions options;
  options.devices = {TargetForPort(1)};
  options.file = (folder_ / "nothere.hex").string();
  EXPECT_EQ(Run(options), 2);
  EXPECT_THAT(OutLines(), ElementsAre("File not found"));
  // The reason is the system's own words (Linux: "no such file or directory").
  EXPECT_THAT(ErrLines(), ElementsAre(testing::StartsWith("cannot open " + options.file + ": ")));
  EXPECT_GT(ErrLines().front().size(), ("cannot open " + options.file + ": ").size());
  EXPECT_TRUE(links_.empty());
}

TEST_F(FlasherRun, EmptyAndUnknownImagesEndWithTheirOutcome) {
  test::FileData unknown;
  test::AddBytes(unknown, 0x00000, 0x10);
  test::AddBytes(unknown, 0x10000, 0x10);
  const std::pair<std::string, int> rows[] = {{":00000001FF\r\n", 6}, {test::HexText(unknown), 7}};
  for (const auto& [text, code] : rows) {
    FlashOptions options;
    options.devices = {TargetForPort(1)};
    options.file = WriteFile("odd.hex", text);
    out_.str("");
    EXPECT_EQ(Run(options), code);
    EXPECT_EQ(OutLines().back(), code == 6 ? "Empty HEX file" : "Unknown file");
    EXPECT_EQ(PagePackets(records_["COM1"]), 0u);
  }
}

TEST_F(FlasherRun, PlanOpensNoPort) {
  FlashOptions options;
  options.devices = {TargetForPort(1)};
  options.file = MultiSectorFile();
  options.plan = true;
  EXPECT_EQ(Run(options), 0);
  EXPECT_TRUE(links_.empty());
  EXPECT_EQ(surveys_.load(), 0) << "nor looks at the ports";
  EXPECT_THAT(OutLines(),
              AllOf(Contains("Kind: MultiSector"), Contains("Region mask: 0x404"),
                    Contains("Program sector #2: 0x200-0x205"), Contains("Program sector #10: 0x7C0"),
                    Contains("Total pages: 7 (first page 0x200 included)")));

  options.file = WriteFile("empty.hex", ":00000001FF\r\n");
  EXPECT_EQ(Run(options), 6) << "a plan that cannot be sent says so in its exit code";
}

TEST_F(FlasherRun, GangExitCodeIsTheFirstFailingDeviceInCommandLineOrder) {
  FlashOptions options;
  options.devices = {TargetForPort(1), TargetForPort(2), TargetForPort(3)};
  options.file = MultiSectorFile();
  options.quiet = true;
  scripts_["COM2"].eraseSilent = true;      // 11
  scripts_["COM3"].failingPages = {0x200};  // 9
  EXPECT_EQ(Run(options), 11);
  // Quiet: only the summary.
  EXPECT_THAT(OutLines(), ElementsAre(HasSubstr("[COM1] summary: File successfully loaded"),
                                      HasSubstr("[COM2] summary: Communication error during memory erasing"),
                                      HasSubstr("[COM3] summary: Flash programming error")));
}

// Every device of a run opens what one look at the ports found: a gang surveys once, however many
// devices it has, and says that look's notice once.
TEST_F(FlasherRun, AGangByNumberLooksAtThePortsOnceForAllItsDevices) {
  FlashOptions options;
  for (int n = 1; n <= 64; ++n) {
    options.devices.push_back(TargetForPort(n));
    survey_.present.push_back({"usb-board" + std::to_string(n), "/dev/board" + std::to_string(n), "", n});
  }
  survey_.notice =
      "cannot save new COM numbers in com-numbers (read-only file): COM64 ... holds only for now";
  options.file = Sector1File();
  options.quiet = true;
  EXPECT_EQ(Run(options), 0);
  EXPECT_EQ(surveys_.load(), 1);
  for (int n = 1; n <= 64; ++n) EXPECT_EQ(resolved_[PortName(n)], "/dev/board" + std::to_string(n));
  EXPECT_THAT(ErrLines(), ElementsAre(survey_.notice));

  surveys_ = 0;
  err_.str("");
  options.devices = {TargetForDevice("/dev/fake-a"), TargetForDevice("socket://jig7:4001")};
  EXPECT_EQ(Run(options), 0);
  EXPECT_EQ(surveys_.load(), 0)
      << "no COMn to resolve: a look would give new adapters their numbers for nothing";
  EXPECT_EQ(err_.str(), "");
}

TEST_F(FlasherRun, InterruptShutsThePortAndTheDownloadEndsByItsOwnRules) {
  FlashOptions options;
  options.devices = {TargetForPort(1), TargetForPort(2)};
  options.file = MultiSectorFile();
  // Each device raises the interrupt at its own second page, so both are surely in the middle.
  scripts_["COM1"].interruptAfterPages = 2;
  scripts_["COM2"].interruptAfterPages = 2;
  EXPECT_EQ(Run(options), 130);
  EXPECT_EQ(ErrLines().back(), "Interrupted");
  for (const std::string name : {"COM1", "COM2"}) {
    const PortRecord& port = records_[name];
    EXPECT_THAT(port.calls, Contains("shutdown")) << name;
    EXPECT_FALSE(port.openAtEnd) << name;
    EXPECT_LT(PagePackets(port), 7u) << name;
    // After the shutdown nothing more reaches the line, and the remaining tries fail at once.
    const auto shutdown = std::find(port.calls.begin(), port.calls.end(), "shutdown");
    EXPECT_EQ(std::count_if(shutdown, port.calls.end(),
                            [](const std::string& c) { return c.starts_with("write"); }),
              0)
        << name;
  }
  // Each download ends as a link failure of the command it was at (erase or page), never as a success,
  // and after the shutdown nothing waits for a device: six failed tries with five 100 ms pauses.
  const std::vector<std::string> lines = OutLines();
  EXPECT_THAT(lines, Not(Contains(HasSubstr("File successfully loaded"))));
  for (const std::string name : {"COM1", "COM2"}) {
    const std::string prefix = "[" + name + "] ";
    EXPECT_THAT(lines, Contains(AnyOf(prefix + "Serial communication error",
                                      prefix + "Communication error during memory erasing")));
    EXPECT_LT(records_[name].virtualMs, 5u * 1000u + 250u + 5u * 100u + 1000u) << name;
  }
}

TEST_F(FlasherRun, InterruptDuringTheLoadSendsNothing) {
  FlashOptions options;
  options.devices = {TargetForPort(1)};
  options.file = Sector1File();
  interrupted_.store(true);
  EXPECT_EQ(Run(options), 130);
  EXPECT_TRUE(links_.empty());
  EXPECT_THAT(ErrLines(), ElementsAre("Interrupted"));
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

TEST_F(FlasherRun, LogGetsOneRowPerDeviceAppendedToWhatWasThere) {
  FlashOptions options;
  options.devices = {TargetForPort(1), TargetForDevice("rfc2217://jig7:4001")};
  options.file = MultiSectorFile();
  options.quiet = true;
  options.log = (folder_ / "line.log").string();
  std::ofstream(options.log) << "{\"earlier\":true}\n";
  scripts_["rfc2217://jig7:4001"].failingPages = {0x203};
  const auto before = std::chrono::system_clock::now();
  EXPECT_EQ(Run(options), 9);

  std::ifstream in(options.log);
  std::vector<nlohmann::json> rows;
  for (std::string line; std::getline(in, line);) rows.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], nlohmann::json::parse("{\"earlier\":true}"));
  rows.erase(rows.begin());
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a["device"] < b["device"]; });
  std::ifstream file(options.file, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  struct Want {
    const char* device;
    unsigned pages;
    const char* outcome;
    int exit;
  };
  const Want wants[] = {{"COM1", 7, "File successfully loaded", 0},
                        {"rfc2217://jig7:4001", 3, "Flash programming error", 9}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const nlohmann::json& row = rows[i];
    SCOPED_TRACE(row.dump());
    EXPECT_EQ(row["device"], wants[i].device);
    EXPECT_EQ(row["file"], options.file);
    EXPECT_EQ(row["sha256"], Sha256Hex(bytes));
    EXPECT_EQ(row["kind"], "MultiSector");
    EXPECT_EQ(row["pages"], wants[i].pages);
    EXPECT_EQ(row["outcome"], wants[i].outcome);
    EXPECT_EQ(row["exit"], wants[i].exit);
    EXPECT_GE(row["seconds"].get<double>(), 0.0);
    const std::string time = row["time"];
    EXPECT_GE(time, UtcTimestamp(before));
    EXPECT_LE(time, UtcTimestamp(std::chrono::system_clock::now()));
  }
}

TEST_F(FlasherRun, AnUnwritableLogStopsTheRunBeforeAnyPortOpens) {
  FlashOptions options;
  options.devices = {TargetForPort(1)};
  options.file = Sector1File();
  options.log = (folder_ / "no-such-folder" / "line.log").string();
  EXPECT_EQ(Run(options), 1);
  EXPECT_TRUE(links_.empty());
  EXPECT_THAT(ErrLines(), Contains(HasSubstr("cannot write the log " + options.log)));
}

// A station stops before it starts on a file a download would refuse or a log it cannot keep, with
// the code a normal run ends with.
TEST_F(FlasherRun, AStationStopsBeforeItStartsOnABadFileOrLog) {
  struct Row {
    std::string file;
    std::string log;
    int code;
    std::string last;  // on standard output
  };
  const Row rows[] = {
      {(folder_ / "nothere.hex").string(), "", 2, "File not found"},
      {WriteFile("empty.hex", ":00000001FF\r\n"), "", 6, "Empty HEX file"},
      {Sector1File(), (folder_ / "no-such-folder" / "line.log").string(), 1, ""},
  };
  for (const Row& row : rows) {
    FlashOptions options;
    options.station = true;
    options.file = row.file;
    options.log = row.log;
    out_.str("");
    EXPECT_EQ(RunStationWith(options), row.code) << row.file;
    if (!row.last.empty()) {
      EXPECT_EQ(OutLines().back(), row.last);
    }
    EXPECT_THAT(OutLines(), Not(Contains(HasSubstr("Waiting for boards"))));
  }
  EXPECT_THAT(ErrLines(), Contains(HasSubstr("cannot write the log")));
  EXPECT_TRUE(links_.empty());
}

// --on-enter: each Enter flashes every given device once; the end of the input closes the station.
TEST_F(FlasherRun, AStationOnEnterFlashesTheGivenDevicesEachRound) {
  FlashOptions options;
  options.station = true;
  options.onEnter = true;
  options.devices = {TargetForDevice("/dev/fake-a"), TargetForDevice("socket://jig7:4001")};
  options.file = Sector1File();
  options.log = (folder_ / "line.log").string();
  scripts_["socket://jig7:4001"].failingPages = {0x101};
  EXPECT_EQ(RunStationWith(options, 2), 9);
  EXPECT_EQ(std::count(links_.begin(), links_.end(), "/dev/fake-a"), 2);
  const std::vector<std::string> lines = OutLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Press Enter to flash /dev/fake-a, socket://jig7:4001; Ctrl-C stops"),
            3);
  EXPECT_THAT(lines,
              Contains(AllOf(StartsWith("[socket://jig7:4001] Flash programming error ("), EndsWith(" s)"))));
  EXPECT_EQ(lines.back(), "passed 2 \u00b7 failed 2 \u00b7 flashing 0");
  std::ifstream in(options.log);
  size_t rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const nlohmann::json row = nlohmann::json::parse(line);
    EXPECT_EQ(row["port"], row["device"]) << "nothing more lasting is known of a line that is not present";
    ++rows;
  }
  EXPECT_EQ(rows, 4u);
}

// A thread the system will not start fails its device with the cause, counted and logged like any
// failed run; the other devices go on, and so does the station, to its next round.
TEST_F(FlasherRun, ADeviceWhoseThreadCannotStartFailsWithTheCauseAndTheOthersGoOn) {
  int starts = 0;
  startThread_ = [&starts](std::function<void()> work) {
    if (starts++ == 0) return StartedThread{std::thread(), "resource temporarily unavailable"};
    return StartThread(std::move(work));
  };
  const std::string cause = "cannot start a run: resource temporarily unavailable";
  FlashOptions options;
  options.devices = {TargetForDevice("/dev/fake-a"), TargetForDevice("/dev/fake-b")};
  options.file = Sector1File();
  options.log = (folder_ / "line.log").string();
  EXPECT_EQ(Run(options), 8) << "the gang";
  EXPECT_THAT(ErrLines(), Contains("[/dev/fake-a] " + cause));
  EXPECT_EQ(PagePackets(records_["/dev/fake-a"]), 0u);
  EXPECT_EQ(PagePackets(records_["/dev/fake-b"]), 3u);

  starts = 0;
  err_.str("");
  options.station = options.onEnter = true;
  EXPECT_EQ(RunStationWith(options, 2), 8) << "the station, whose first board of two rounds cannot start";
  EXPECT_THAT(ErrLines(), Contains("[/dev/fake-a] " + cause));
  EXPECT_EQ(OutLines().back(), "passed 3 \u00b7 failed 1 \u00b7 flashing 0");
  std::ifstream in(options.log);
  std::vector<std::string> causes;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) causes.push_back(nlohmann::json::parse(line)["cause"]);
  }
  EXPECT_THAT(causes, ElementsAre(cause, "", cause, "", "", "")) << "the gang's rows, then the station's";
}

}  // namespace
}  // namespace kv
