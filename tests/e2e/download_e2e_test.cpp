// Whole downloads over a real pseudo-terminal: a HEX file written here, read with the real reader,
// sent with the real port and clock to the kv6193-sim device, and the device's flash compared byte for
// byte with what it must hold. The expected flash is worked out by the tests' own computation from the
// file's bytes alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "download/download.h"
#include "image/hex_reader.h"
#include "image/loaded_file.h"
#include "image/memory_image.h"
#include "link/posix_port.h"
#include "link/system_clock.h"
#include "tests/support/hex_text.h"
#include "tests/support/reader_host.h"
#include "tests/support/sim_process.h"
#include "tests/support/view_recorder.h"

namespace kv::test {
namespace {

constexpr int SimPortNumber = 3;

// Deterministic, varied file data over the ranges.
FileData DataIn(std::initializer_list<AddressRange> ranges) {
  FileData bytes;
  uint32_t state = 0x6193;
  for (const AddressRange& range : ranges) {
    for (uint32_t a = range.first; a < range.end; ++a) {
      state = state * 1103515245u + 12345u;
      bytes[a] = static_cast<uint8_t>(state >> 16);
    }
  }
  return bytes;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "" when equal, else where they first differ.
std::string FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  if (got.size() != want.size())
    return "size " + std::to_string(got.size()) + " != " + std::to_string(want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i]) {
      char text[80];
      std::snprintf(text, sizeof text, "at 0x%05zX: 0x%02X, expected 0x%02X", i, got[i], want[i]);
      return text;
    }
  }
  return "";
}

// The program's objects, a real port and clock, a recording view, and the simulator on its terminal.
class SimDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);  // the block's time digits are the file time in local time
    tzset();
    dir_ = std::filesystem::temp_directory_path() /
           ("kv_download_e2e_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    dumpPath_ = (dir_ / "flash.bin").string();
    tracePath_ = (dir_ / "trace.txt").string();
  }
  void TearDown() override {
    sim_.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void StartSim(std::vector<std::string> extra = {}) {
    std::filesystem::remove(dumpPath_);
    std::vector<std::string> args{"--dump", dumpPath_, "--trace", tracePath_};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim_.Start(args)) << sim_.error();
    setenv(("LD6193_COM" + std::to_string(SimPortNumber)).c_str(), sim_.ptyPath().c_str(), 1);
  }

  // Writes the file (last written 5 March 2005, 09:07:03) and loads it as Load File would.
  void LoadFile(const std::string& fileName, const FileData& data) {
    const std::string path = (dir_ / fileName).string();
    std::ofstream(path, std::ios::binary) << HexText(data);
    const timespec times[2] = {{1110013623, 0}, {1110013623, 0}};  // 2005-03-05 09:07:03 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    loadedFileName_ = LoadedFileNameFor(path);
    RecordingReaderHost host;
    ASSERT_EQ(ReadHexFile(path.c_str(), image_, loadedFileTime_, host), ReadComplete);
  }

  DownloadOutcome Send() { return RunDownload(context_); }

  // The flash the simulator writes when it stops.
  std::vector<uint8_t> FinalFlash() {
    EXPECT_EQ(sim_.Stop(), 0);
    return ReadWholeFile(dumpPath_);
  }

  // How many packets the device received that begin with `prefix` ("A2 11 A1 07": page 0x7A1).
  size_t PacketsSent(const std::string& prefix) {
    std::ifstream trace(tracePath_);
    size_t count = 0;
    for (std::string line; std::getline(trace, line);) count += line.starts_with("> " + prefix);
    return count;
  }

  std::filesystem::path dir_;
  std::string dumpPath_;
  std::string tracePath_;
  SimProcess sim_;
  SystemClock clock_;
  PosixPort port_{clock_};
  ViewRecorder view_;
  MemoryImage image_;
  std::string loadedFileName_;
  SystemTime loadedFileTime_;
  int portNumber_ = SimPortNumber;
  BusyFlag busy_;
  DownloadContext context_{image_, loadedFileName_, loadedFileTime_, portNumber_,
                           busy_,  port_,           clock_,          view_};
};

struct KindCase {
  const char* kind;
  const char* fileName;
  std::initializer_list<AddressRange> data;
  uint32_t blockAddress;
  std::string nameField;
  std::initializer_list<AddressRange> sectors;
  uint16_t pages;  // the progress total, forced first page included
};

TEST_F(SimDownload, EachKindLeavesTheDeviceHoldingTheFileAndItsSealedBlock) {
  const KindCase cases[] = {
      {"Sector0",
       "boot0.hex",
       {{0x00000, 0x00800}, {0x0FF00, 0x10000}},
       0x00000,
       std::string("BOOT0\0\0\0", 8),
       {{0x00000, 0x10000}},
       9},
      {"Sector1",
       "app_one.hex",
       {{0x10400, 0x10A00}, {0x1FF80, 0x20000}},
       0x10000,
       std::string("APP_ONE\0", 8),
       {{0x10000, 0x20000}},
       8},
      {"MultiSector",
       "multisector_fw.v2.hex",
       {{0x20010, 0x20800}, {0x38000, 0x38100}, {0x4FF00, 0x50000}, {0x7C000, 0x7C400}, {0x7FFF0, 0x80000}},
       0x20000,
       "MULTISEC",
       {{0x20000, 0x60000}, {0x7C000, 0x80000}},
       15},
      {"Sector9",
       "s9.hex",
       {{0x7A000, 0x7C000}},
       0x7A000,
       std::string("S9\0\0\0\0\0\0", 8),
       {{0x7A000, 0x7C000}},
       32},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.kind);
    StartSim();
    const FileData data = DataIn(c.data);
    LoadFile(c.fileName, data);
    view_.log.clear();

    EXPECT_EQ(Send(), DownloadOutcome::Downloaded);
    EXPECT_EQ(view_.Messages(), std::vector<std::string>{"File successfully loaded"});
    EXPECT_EQ(view_.Lines("max: "), std::vector<std::string>{std::to_string(c.pages)});
    EXPECT_EQ(view_.Progress().back(), std::to_string(c.pages) + " 100 %");
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(busy_.value, 0);
    const FileStamp stamp{c.nameField, 5, 3, 2005, 9, 7, 3};  // the file's time, local time being UTC
    const std::vector<uint8_t> want = ExpectedFlash(data, {c.blockAddress, c.sectors}, stamp);
    EXPECT_EQ(FirstDifference(FinalFlash(), want), "");
  }
}

TEST_F(SimDownload, APageOrFinishThatFailsForGoodIsReportedAndNeverAsLoaded) {
  struct Case {
    const char* fault;
    AddressRange data;
    DownloadOutcome outcome;
    const char* message;
    const char* status;
    std::optional<uint32_t> unwritten;  // a device address the failure leaves erased
  };
  const Case cases[] = {
      {"page=0x104:error",
       {0x10300, 0x10500},
       DownloadOutcome::FlashProgrammingError,
       "Flash programming error",
       "File programming error",
       0x10400},
      {"page=0x104:noack",
       {0x10300, 0x10500},
       DownloadOutcome::SerialCommunicationError,
       "Serial communication error",
       "Serial communication error",
       0x10400},
      {"page=0x104:badstatus",
       {0x10300, 0x10500},
       DownloadOutcome::SerialCommunicationError,
       "Serial communication error",
       "Serial communication error",
       0x10400},
      {"finish:noack",
       {0x00000, 0x00200},
       DownloadOutcome::SerialCommunicationError,
       "Serial communication error",
       "Serial communication error",
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    StartSim({"--fault", c.fault});
    LoadFile("faulty.hex", DataIn({c.data}));
    view_.log.clear();

    EXPECT_EQ(Send(), c.outcome);
    EXPECT_EQ(view_.Messages(), std::vector<std::string>{c.message});
    EXPECT_EQ(view_.Statuses().back(), c.status);
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(busy_.value, 0);
    const std::vector<uint8_t> flash = FinalFlash();
    ASSERT_EQ(flash.size(), DeviceFlashSize);
    if (c.unwritten) {
      EXPECT_EQ(flash[*c.unwritten], 0xFF);
    }
  }
}

TEST_F(SimDownload, AnEraseThatTheDeviceRefusesStopsBeforeAnyPage) {
  StartSim({"--fault", "erase=61:error"});
  LoadFile("s9.hex", DataIn({{0x7A000, 0x7A400}}));
  EXPECT_EQ(Send(), DownloadOutcome::EraseProgrammingError);
  EXPECT_EQ(view_.Messages(), std::vector<std::string>{"Progr. error during memory erasing"});
  EXPECT_TRUE(view_.Progress().empty());
  EXPECT_EQ(busy_.value, 0);
  EXPECT_EQ(FinalFlash(), std::vector<uint8_t>(DeviceFlashSize, 0xFF));
}

TEST_F(SimDownload, ADeviceThatHangsUpMidDownloadEndsItAsALinkFailure) {
  StartSim({"--hangup-after", "3"});  // the erase and one page get through
  LoadFile("cut.hex", DataIn({{0x10000, 0x10400}}));

  EXPECT_EQ(Send(), DownloadOutcome::SerialCommunicationError);
  EXPECT_EQ(view_.Messages(), std::vector<std::string>{"Serial communication error"});
  EXPECT_EQ(view_.Progress(), std::vector<std::string>{"1 25 %"});
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(busy_.value, 0);
}

TEST_F(SimDownload, EveryReplyIsJudgedAgainstThePacketItAnswers) {
  // Sector 9 pages 0x7A0 to 0x7A3; the trace names each packet by its first bytes.
  struct Case {
    const char* what;
    std::vector<std::string> sim;
    DownloadOutcome outcome;
    std::vector<std::pair<std::string, size_t>> packets;  // how often each was sent
  };
  const Case cases[] = {
      // Answered 80 ms after the page has crossed a paced line: inside the 100 ms, sent once.
      {"80 ms acknowledge at line rate",
       {"--line-rate", "--fault", "page=0x7A1:late=80"},
       DownloadOutcome::Downloaded,
       {{"A2 10 3D", 1}, {"A2 11 A1 07", 1}, {"A2 11 A2 07", 1}}},
      // Page 0x7A1 answered 250 ms late once: sent again. Page 0x7A2 refused for good: its own E5 16
      // must be judged, never the late E5 68, and nothing follows its sixth attempt.
      {"late then refused",
       {"--fault", "page=0x7A1:late=250:1", "--fault", "page=0x7A2:error"},
       DownloadOutcome::FlashProgrammingError,
       {{"A2 11 A1 07", 2}, {"A2 11 A2 07", 6}, {"A2 11 A3 07", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartSim(c.sim);
    LoadFile("s9.hex", DataIn({{0x7A000, 0x7A400}}));
    EXPECT_EQ(Send(), c.outcome);
    const std::vector<uint8_t> flash = FinalFlash();
    for (const auto& [prefix, times] : c.packets) EXPECT_EQ(PacketsSent(prefix), times) << prefix;
    ASSERT_EQ(flash.size(), DeviceFlashSize);
    if (c.outcome != DownloadOutcome::Downloaded) {
      EXPECT_EQ(flash[0x7A200], 0xFF) << "the refused page is still erased";
    }
  }
}

TEST_F(SimDownload, AByteLeftOnTheLineByAnEarlierRunIsNoAnswerInTheNext) {
  // The first run's finish is answered E5 00: the 00 stays on the line. The second run must not take
  // it for its erase's acknowledge (which would erase the sector twice and shift every later reply).
  StartSim({"--fault", "finish:badstatus:1"});
  const FileData data = DataIn({{0x00000, 0x00300}});
  LoadFile("boot.hex", data);
  ASSERT_EQ(Send(), DownloadOutcome::Downloaded);
  LoadFile("boot.hex", data);
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);
  const std::vector<uint8_t> flash = FinalFlash();
  EXPECT_EQ(PacketsSent("A2 10 00"), 2u) << "one erase per run";
  EXPECT_EQ(PacketsSent("A2 13"), 2u) << "one finish per run";
  const FileStamp stamp{std::string("BOOT\0\0\0\0", 8), 5, 3, 2005, 9, 7, 3};
  EXPECT_EQ(FirstDifference(flash, ExpectedFlash(data, {0x00000, {{0x00000, 0x10000}}}, stamp)), "");
}

}  // namespace
}  // namespace kv::test
