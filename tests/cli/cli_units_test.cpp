// The flasher's pure parts: the port setting, the command line, and the text of progress lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/console.h"
#include "cli/options.h"
#include "cli/port_setting.h"

namespace kv {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// ---- port setting -----------------------------------------------------------------------------------

class PortSettingFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("kv_cli_cfg_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    path_ = (folder_ / PortSettingFileName).string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string Contents() {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::filesystem::path folder_;
  std::string path_;
};

TEST_F(PortSettingFile, TakesOneToFiveAndFallsBackToComOne) {
  struct Row {
    std::string bytes;
    int port;
  };
  const Row rows[] = {
      {std::string(1, '\x01'), 1},
      {std::string(1, '\x03'), 3},
      {std::string(1, '\x05'), 5},
      {std::string(1, '\x00'), 1},
      {std::string(1, '\x06'), 1},
      {std::string(1, '\xFF'), 1},
      {"3", 1},  // the byte is a number, not a digit
      {std::string("\x02\x41\x42", 3), 2},
      {"", 1},
  };
  for (const Row& row : rows) {
    Write(row.bytes);
    EXPECT_EQ(ReadPortSettingReadOnly(path_), row.port) << "file of " << row.bytes.size() << " bytes";
    EXPECT_EQ(Contents(), row.bytes) << "the file must be left as it was";
  }
}

TEST_F(PortSettingFile, MissingFileIsNotCreated) {
  EXPECT_EQ(ReadPortSettingReadOnly(path_), 1);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(PortSettingFile, FolderInsteadOfFileCountsAsMissing) {
  std::filesystem::create_directories(path_);
  EXPECT_EQ(ReadFirstByte(path_), std::nullopt);
  EXPECT_EQ(ReadPortSettingReadOnly(path_), 1);
}

// ---- command line -----------------------------------------------------------------------------------

struct Parsed {
  CommandLine result;
  std::string out;
  std::string err;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ld6193-flash");
  std::ostringstream out;
  std::ostringstream err;
  CommandLine result = ParseCommandLine(static_cast<int>(args.size()), args.data(), out, err);
  return {std::move(result), out.str(), err.str()};
}

TEST(CommandLine, PortsAndDevicesKeepTheirOrder) {
  const Parsed parsed = Parse({"--port", "2", "--device", "/dev/ttyUSB0", "--port", "1", "--port", "COM12",
                               "--port", "com3", "fw.hex"});
  ASSERT_TRUE(parsed.result.options) << parsed.err;
  EXPECT_THAT(parsed.result.options->devices,
              ElementsAre(TargetForPort(2), TargetForDevice("/dev/ttyUSB0"), TargetForPort(1),
                          TargetForPort(12), TargetForPort(3)));
  EXPECT_EQ(parsed.result.options->devices[0].name, "COM2");
  EXPECT_EQ(parsed.result.options->devices[1].name, "/dev/ttyUSB0");
  EXPECT_TRUE(parsed.result.options->devices[1].ByPath());
  EXPECT_FALSE(parsed.result.options->devices[2].ByPath());
  EXPECT_EQ(parsed.result.options->file, "fw.hex");
}

TEST(CommandLine, FlagsAndDefaults) {
  const Parsed bare = Parse({"fw.hex"});
  ASSERT_TRUE(bare.result.options);
  EXPECT_TRUE(bare.result.options->devices.empty());
  EXPECT_FALSE(bare.result.options->plan || bare.result.options->trace || bare.result.options->quiet);

  const Parsed all = Parse({"--quiet", "--trace", "--plan", "fw.hex"});
  ASSERT_TRUE(all.result.options);
  EXPECT_TRUE(all.result.options->plan && all.result.options->trace && all.result.options->quiet);
}

// Options are written one way on every platform: a file path that starts with a slash is a file, not
// a Windows-style "/option".
TEST(CommandLine, ASlashStartsAPathNeverAnOption) {
  struct Row {
    std::vector<const char*> args;
    std::string file;
    size_t devices;
  };
  const Row rows[] = {
      {{"/fw/app.hex"}, "/fw/app.hex", 0},
      {{"/plan"}, "/plan", 0},
      {{"--port", "2", "/quiet"}, "/quiet", 1},
      {{"/port:3"}, "/port:3", 0},
  };
  for (const Row& row : rows) {
    const Parsed parsed = Parse(row.args);
    ASSERT_TRUE(parsed.result.options) << row.file << ": " << parsed.err;
    EXPECT_EQ(parsed.result.options->file, row.file);
    EXPECT_FALSE(parsed.result.options->plan || parsed.result.options->quiet) << row.file;
    EXPECT_EQ(parsed.result.options->devices.size(), row.devices) << row.file;
  }
}

TEST(CommandLine, UsageErrorsExitOneWithAMessageOnStandardError) {
  const std::vector<std::vector<const char*>> cases = {
      {},                                           // no file
      {"--port", "0", "fw.hex"},                    // no COM0
      {"--forget-port", "COM256"},                  // beyond COM255
      {"--port", "256", "fw.hex"},                  // beyond COM255
      {"--port", "x", "fw.hex"},                    // not a number
      {"--port", "COM", "fw.hex"},                  // no number after COM
      {"--port", "COM0", "fw.hex"},                 // no COM0
      {"--port", "2", "--port", "COM2", "fw.hex"},  // the same line twice, written two ways
      {"--port", "fw.hex"},                         // port value missing
      {"--device", "", "fw.hex"},                   // empty path
      {"--bogus", "fw.hex"},                        // unknown option
      {"a.hex", "b.hex"},                           // one file only
      {"--port", "3", "--port", "3", "fw.hex"},     // the same line twice
      {"--device", "/dev/x", "--device", "/dev/x", "fw.hex"},
      {"--on-enter", "--port", "1", "fw.hex"},                   // --on-enter is the station's
      {"--station", "--on-enter", "fw.hex"},                     // rounds of what?
      {"--station", "--plan", "fw.hex"},                         // a station flashes
      {"--station", "--device", "socket://jig:4001", "fw.hex"},  // a network line never appears
  };
  for (const auto& args : cases) {
    const Parsed parsed = Parse(args);
    std::string joined;
    for (const char* arg : args) joined += std::string(arg) + " ";
    EXPECT_FALSE(parsed.result.options) << joined;
    EXPECT_EQ(parsed.result.exitCode, 1) << joined;
    EXPECT_FALSE(parsed.err.empty()) << joined;
    EXPECT_TRUE(parsed.out.empty()) << joined;
  }
}

TEST(CommandLine, VersionAndPortCommandsNeedNoFile) {
  const Parsed version = Parse({"--version"});
  EXPECT_FALSE(version.result.options);
  EXPECT_EQ(version.result.exitCode, 0);
  EXPECT_EQ(version.out, "ld6193-flash 1.1\n");
  const Parsed list = Parse({"--list-ports"});
  ASSERT_TRUE(list.result.options) << list.err;
  EXPECT_TRUE(list.result.options->listPorts);
  const Parsed forget = Parse({"--forget-port", "com12"});
  ASSERT_TRUE(forget.result.options) << forget.err;
  EXPECT_EQ(forget.result.options->forgetPort, 12);
}

TEST(CommandLine, HelpExitsZeroAndDocumentsOptionsAndExitCodes) {
  const Parsed parsed = Parse({"--help"});
  EXPECT_FALSE(parsed.result.options);
  EXPECT_EQ(parsed.result.exitCode, 0);
  for (const char* text : {"--port", "--device", "--plan", "--trace", "--quiet", "LD6193_COM", "ld6193.cfg",
                           "130", "Communication error during memory erasing"}) {
    EXPECT_THAT(parsed.out, HasSubstr(text));
  }
}

// ---- trace and progress lines -----------------------------------------------------------------------

TEST(ProgressLine, DurationsAndRemainingTime) {
  EXPECT_EQ(FormatDuration(Millis{0}), "0:00");
  EXPECT_EQ(FormatDuration(Millis{59999}), "0:59");
  EXPECT_EQ(FormatDuration(Millis{61000}), "1:01");
  EXPECT_EQ(FormatDuration(Millis{-5}), "0:00");

  ProgressSlot slot{"COM1", 0, 0};
  EXPECT_LT(RemainingTime(slot).count(), 0);  // before the program phase
  slot.total = 100;
  EXPECT_LT(RemainingTime(slot).count(), 0);  // no page yet: no rate
  slot.done = 25;
  slot.programElapsed = Millis{10000};
  EXPECT_EQ(RemainingTime(slot), Millis{30000});
  slot.done = 100;
  EXPECT_EQ(RemainingTime(slot), Millis{0});
}

TEST(ProgressLine, OneDeviceShowsBarPagesPercentAndTimes) {
  ProgressSlot slot{"COM1", 272, 1088, Millis{15000}, Millis{10000}};
  EXPECT_EQ(FormatProgressLine({slot}), "[######..................] 272/1088  25 %  elapsed 0:15  left 0:30");
  slot.done = 1088;
  slot.ended = true;
  EXPECT_EQ(FormatProgressLine({slot}),
            "[########################] 1088/1088 100 %  elapsed 0:15  left 0:00");
}

// A narrow terminal gets a line that fits: the bar goes first, then the elapsed time, then it is cut.
TEST(ProgressLine, FitsTheWidthGiven) {
  const ProgressSlot slot{"COM1", 272, 1088, Millis{15000}, Millis{10000}};
  const struct {
    size_t width;
    std::string line;
  } rows[] = {
      {0, "[######..................] 272/1088  25 %  elapsed 0:15  left 0:30"},
      {66, "[######..................] 272/1088  25 %  elapsed 0:15  left 0:30"},
      {65, "272/1088  25 %  elapsed 0:15  left 0:30"},
      {39, "272/1088  25 %  elapsed 0:15  left 0:30"},
      {38, "272/1088  25 %  left 0:30"},
      {19, "272/1088  25 %  lef"},
  };
  for (const auto& row : rows) EXPECT_EQ(FormatProgressLine({slot}, row.width), row.line) << row.width;
}

TEST(ProgressLine, GangShowsEachDeviceAndTheLongestTimes) {
  const std::vector<ProgressSlot> slots = {
      {"COM1", 2, 4, Millis{8000}, Millis{2000}},
      {"/dev/pts/3", 1, 4, Millis{9000}, Millis{3000}},
  };
  EXPECT_EQ(FormatProgressLine(slots), "COM1 2/4 50 % | /dev/pts/3 1/4 25 %  elapsed 0:09  left 0:09");
}

TEST(ConsoleOutput, LinesArePrefixedAndTheProgressLineIsClearedBeforeEachOne) {
  std::ostringstream out;
  std::ostringstream err;
  Console console(out, err, ProgressStyle::Live);
  const size_t slot = console.AddSlot("COM1");
  console.DownloadStarted(slot);
  console.Out("", "Erasing sector #0...");
  EXPECT_EQ(err.str(), "") << "no progress line before the program phase";
  console.ProgramPhaseStarted(slot, 2);
  console.Progress(slot, 2, 2);
  EXPECT_THAT(err.str(), HasSubstr("2/2 100 %"));
  const size_t drawn = err.str().size();
  console.Out("[COM1] ", "File successfully loaded");
  // The line went to stdout; on stderr the progress line was blanked and drawn again.
  EXPECT_EQ(out.str(), "Erasing sector #0...\n[COM1] File successfully loaded\n");
  EXPECT_THAT(err.str().substr(drawn), HasSubstr("\r"));
  console.ClearProgress();
  const std::string tail = err.str().substr(err.str().rfind("100 %"));
  EXPECT_TRUE(tail.ends_with("\r")) << "cleared at the end";
  console.Progress(slot, 2, 2);
  EXPECT_TRUE(err.str().ends_with("\r")) << "nothing drawn after clearing";
}

TEST(ConsoleOutput, OnANarrowTerminalTheLineIsRedrawnInPlaceWithinItsWidth) {
  std::ostringstream out;
  std::ostringstream err;
  size_t columns = 40;
  Console console(out, err, ProgressStyle::Live, [&columns] { return columns; });
  const size_t slot = console.AddSlot("COM1");
  console.DownloadStarted(slot);
  console.ProgramPhaseStarted(slot, 1000);
  for (uint16_t page : {100, 1000}) console.Progress(slot, page, 1000);
  columns = 20;  // the window was narrowed
  console.Progress(slot, 1000, 1000);
  EXPECT_EQ(err.str().find('\n'), std::string::npos) << "redrawn in place, never a new line";
  const std::string text = err.str();
  std::istringstream pieces(text);
  for (std::string piece; std::getline(pieces, piece, '\r');) EXPECT_LT(piece.size(), 40u) << piece;
  EXPECT_TRUE(text.ends_with("\r1000/1000 100 %  le")) << text;
}

TEST(ConsoleOutput, WithoutATerminalPlainLinesAtEachTenth) {
  std::ostringstream out;
  std::ostringstream err;
  Console console(out, err, ProgressStyle::Lines);
  const size_t slot = console.AddSlot("COM1");
  console.DownloadStarted(slot);
  console.ProgramPhaseStarted(slot, 40);
  for (uint16_t page = 1; page <= 40; ++page) console.Progress(slot, page, 40);
  console.Err("[COM1] ", "cannot open");
  const std::string text = err.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_THAT(text, HasSubstr("4/40  10 %"));
  EXPECT_THAT(text, HasSubstr("40/40 100 %"));
  EXPECT_TRUE(text.ends_with("[COM1] cannot open\n"));
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace kv
