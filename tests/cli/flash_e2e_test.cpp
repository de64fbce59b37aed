// The real ld6193-flash program against real kv6193-sim devices on pseudo-terminals: what the device
// holds afterwards, every exit code from a real cause, the plan, a gang, and an interrupt. The same
// cases run against the Windows program under wine (see flash_process.h): there the flasher opens
// COMn through the platform's own serial calls, and only what Windows lacks is skipped.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/cli/flash_e2e_fixture.h"
#include "tests/cli/flash_process.h"
#include "tests/support/hex_text.h"
#include "tests/support/sim_process.h"

namespace kv::test {
namespace {

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// A MultiSector file in sectors 2 and 10 only: five erases (5 s of pauses), a handful of pages.
FileData SmallMultiSector() {
  FileData data;
  AddBytes(data, 0x20100, 0x200, 3);  // pages 0x201, 0x202
  AddBytes(data, 0x7C000, 0x40, 9);   // page 0x7C0
  return data;
}

TEST_F(FlashEndToEnd, EachKindLeavesTheDeviceHoldingTheFileAndItsSealedBlock) {
  struct Case {
    std::string tag;
    std::string fileName;
    std::string blockName;
    FileData data;
    ExpectedKind kind;
    std::string address;  // how the device is named: "cfg-none", "cfg-3", "device", "port"
  };
  FileData sector0;
  AddBytes(sector0, 0x00000, 0x30, 1);  // page 0 with bytes 0..47: the block overwrites 38..47
  AddBytes(sector0, 0x0F000, 0x1000, 2);
  FileData sector1;
  AddBytes(sector1, 0x10400, 0x0C00, 5);  // page 0x100 has no file data: forced, all 0xFF but the block
  FileData multi;
  AddBytes(multi, 0x20000, 0x100, 6);
  AddBytes(multi, 0x38000, 0x123, 7);
  AddBytes(multi, 0x4FF00, 0x100, 8);
  AddBytes(multi, 0x5FFF0, 0x10, 9);
  AddBytes(multi, 0x7FF00, 0x100, 10);
  FileData sector9;
  AddBytes(sector9, 0x7A000, 0x2000, 11);
  const Case cases[] = {
      {"sector0", "boot.hex", "BOOT", sector0, Sector0Kind(), "cfg-none"},
      {"sector1", "Application.v2.hex", "APPLICAT", sector1, Sector1Kind(), "cfg-3"},
      {"multi", "multi.hex", "MULTI", multi, MultiSectorKind(), "device"},
      {"sector9", "cal.hex", "CAL", sector9, Sector9Kind(), "port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    SimProcess sim;
    StartSim(sim, c.tag);
    const std::string file = WriteHex(c.fileName, c.data);
    const std::string workDir = Path("work-" + c.tag);
    std::filesystem::create_directories(workDir);
    std::vector<std::string> args;
    Environment environment;
    if (c.address == "cfg-none") {
      host_.AttachPort(1, sim.ptyPath(), environment);
    } else if (c.address == "cfg-3") {
      std::ofstream(workDir + "/ld6193.cfg", std::ios::binary) << std::string("\x03\x41\x42", 3);
      host_.AttachPort(3, sim.ptyPath(), environment);
    } else if (c.address == "device") {
      host_.AttachPort(4, sim.ptyPath(), environment);
      args = {"--device", host_.DeviceArgument(4, sim.ptyPath())};
    } else {
      host_.AttachPort(2, sim.ptyPath(), environment);
      args = {"--port", "2"};
    }
    args.push_back(Arg(file));
    const FlashResult run = RunFlash(args, environment, workDir);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(LastLine(run.out), "File successfully loaded");
    ASSERT_FALSE(Lines(run.out).empty());
    EXPECT_EQ(Lines(run.out).front(), "Loaded file: " + UpperCase(Arg(file)));
    // The setting file is read, never created or changed.
    if (c.address == "cfg-3") {
      const std::vector<uint8_t> cfg = ReadBytes(workDir + "/ld6193.cfg");
      EXPECT_EQ(cfg, (std::vector<uint8_t>{0x03, 0x41, 0x42}));
    } else {
      EXPECT_FALSE(std::filesystem::exists(workDir + "/ld6193.cfg"));
    }
    ASSERT_EQ(sim.Stop(), 0);
    const std::vector<uint8_t> dump = ReadBytes(Path(c.tag + ".dump"));
    const std::vector<uint8_t> want = ExpectedFlash(c.data, c.kind, StampFor(c.blockName));
    ASSERT_EQ(dump.size(), want.size());
    for (size_t address = 0; address < want.size(); ++address) {
      ASSERT_EQ(dump[address], want[address]) << "at device address 0x" << std::hex << address;
    }
  }
}

TEST_F(FlashEndToEnd, EveryExitCodeFromARealCause) {
  struct Case {
    std::string tag;
    std::string fileText;          // written as the file; empty: no file at all
    std::vector<std::string> sim;  // simulator faults; {"none"}: no simulator
    int code;
    std::string lastLine;
    std::string why;  // on standard error, after the file's name
  };
  FileData unknown;
  AddBytes(unknown, 0x00000, 0x10);
  AddBytes(unknown, 0x10000, 0x10);
  std::string cutShort = HexText(SmallMultiSector());
  cutShort.resize(cutShort.find(":00000001FF"));  // every data record readable, no end record
  // The last line of the file, which holds its last record.
  const std::string cutShortWhy = ":" + std::to_string(std::count(cutShort.begin(), cutShort.end(), '\n')) +
                                  ": the file ends without an end record";
  const std::string multi = HexText(SmallMultiSector());
  std::string badRecord = multi;  // good records, then one whose checksum is wrong
  badRecord.insert(badRecord.find(":00000001FF"), ":0100000000FE\r\n");
  // It takes the place of the end record's line, the file's last.
  const std::string badRecordWhy =
      ":" + std::to_string(std::count(multi.begin(), multi.end(), '\n')) + ": checksum FE, expected FF";
  const Case cases[] = {
      {"no-file", "", {}, 2, "File not found", ""},
      {"cut-short", cutShort, {}, 3, "Invalid HEX format", cutShortWhy},
      {"bad-record", badRecord, {}, 3, "Invalid HEX format", badRecordWhy},
      {"segment",
       ":020000021800E4\r\n:00000001FF\r\n",
       {},
       4,
       "Illegal segment alignment",
       ":1: segment value 1800"},
      {"type04",
       "\r\n:020000040001F9\r\n:00000001FF\r\n",
       {},
       5,
       "Unsupported record type",
       ":2: record type 04 (extended linear address)"},
      {"empty", ":00000001FF\r\n", {}, 6, "Empty HEX file", ""},
      {"unknown", HexText(unknown), {}, 7, "Unknown file", ""},
      {"no-port", multi, {"none"}, 8, "Serial communication error", ""},
      {"page-noack", multi, {"--fault", "page=0x202:noack"}, 8, "Serial communication error", ""},
      {"page-error", multi, {"--fault", "page=0x202:error"}, 9, "Flash programming error", ""},
      {"erase-error", multi, {"--fault", "erase=16:error"}, 10, "Progr. error during memory erasing", ""},
      {"erase-noack",
       multi,
       {"--fault", "erase=16:noack"},
       11,
       "Communication error during memory erasing",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    SimProcess sim;
    Environment environment;
    if (c.sim != std::vector<std::string>{"none"}) {
      StartSim(sim, c.tag, c.sim);
      host_.AttachPort(1, sim.ptyPath(), environment);
    }
    const std::string port = std::to_string(sim.running() ? 1 : host_.MissingPort(environment));
    const std::string file = c.fileText.empty() ? Path("missing.hex") : WriteText(c.tag + ".hex", c.fileText);
    const FlashResult run = RunFlash({"--port", port, Arg(file)}, environment);
    EXPECT_EQ(run.exitCode, c.code) << run.out << run.err;
    EXPECT_EQ(LastLine(run.out), c.lastLine);
    EXPECT_THAT(run.out, Not(HasSubstr("File successfully loaded")));
    if (c.code == 2) {
      EXPECT_THAT(run.err, HasSubstr("cannot open " + Arg(file) + ": "));
    }
    if (!c.why.empty()) {
      EXPECT_THAT(run.err, HasSubstr(Arg(file) + c.why));
    }
    if (c.code >= 2 && c.code <= 5) {
      sim.Stop();
      EXPECT_EQ(PacketsSeen(c.tag), 0u) << "nothing of a file that did not load may reach the device";
    }
  }
}

// Why a download failed reaches standard error, with its fix, and the log's cause. The fix tells which
// fault the real line saw: a device just too slow, a wrong byte, a line pulled mid-run (no repeats
// then). A refusal has no fix: its line is the cause alone.
TEST_F(FlashEndToEnd, ALineFailureSaysWhatHappenedAndHowToMendIt) {
  struct Case {
    std::string tag;
    std::vector<std::string> sim;
    int code;
    std::string hintWord;  // after the cause on standard error; "" for none
    size_t pagePackets;    // how often the device saw the page
  };
  // The late device is 60 ms outside its limit: a local line's reply is one read of up to 100 ms, and
  // on a loaded machine that read may begin some milliseconds after the packet left (10 ms outside
  // passed so under a coverage build). The exact edges are the loader's own tests, on virtual time.
  const Case cases[] = {
      {"late", {"--line-rate", "--fault", "page=0x100:late=160"}, 8, "latency", 6},
      {"wrong-byte", {"--fault", "page=0x100:badack"}, 8, "parity", 6},
      {"hang-up", {"--hangup-after", "2"}, 8, "cable", 1},
      {"refused", {"--fault", "page=0x100:error"}, 9, "", 6},
  };
  FileData data;
  AddBytes(data, 0x10000, 0x10);  // Sector1: erase 8, then page 0x100
  const std::string file = WriteHex("s1.hex", data);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    SimProcess sim;
    StartSim(sim, c.tag, c.sim);
    Environment environment;
    host_.AttachPort(1, sim.ptyPath(), environment);
    const std::string log = Path(c.tag + ".log");
    const FlashResult run = RunFlash({"--quiet", "--log", Arg(log), "--port", "1", Arg(file)}, environment);
    EXPECT_EQ(run.exitCode, c.code) << run.out << run.err;
    std::ifstream in(log);
    std::string row;
    std::getline(in, row);
    const std::string cause = nlohmann::json::parse(row)["cause"];
    EXPECT_THAT(cause, StartsWith("page 0x100: "));
    if (c.hintWord.empty()) {
      EXPECT_THAT(Lines(run.err), Contains(cause));
    } else {
      EXPECT_THAT(Lines(run.err), Contains(AllOf(StartsWith(cause + "; "), HasSubstr(c.hintWord))));
    }
    sim.Stop();
    size_t pagePackets = 0;
    std::ifstream trace(Path(c.tag + ".trace"));
    for (std::string line; std::getline(trace, line);) pagePackets += line.starts_with("> A2 11 00 01");
    EXPECT_EQ(pagePackets, c.pagePackets);
  }
}

TEST_F(FlashEndToEnd, GangFlashesAllAtOnceAndOneFailureStopsOnlyItsDevice) {
  const std::string file = WriteHex("gang.hex", SmallMultiSector());
  const FileStamp stamp = StampFor("GANG");
  const std::vector<uint8_t> want = ExpectedFlash(SmallMultiSector(), MultiSectorKind(), stamp);

  // One device alone first: the yardstick for the gang's wall time.
  SimProcess single;
  StartSim(single, "single");
  Environment environment;
  host_.AttachPort(1, single.ptyPath(), environment);
  const FlashResult alone = RunFlash({"--port", "1", Arg(file)}, environment);
  ASSERT_EQ(alone.exitCode, 0) << alone.out << alone.err;

  // Ports by number and by device path, mixed.
  SimProcess a;
  SimProcess b;
  SimProcess c;
  StartSim(a, "a");
  StartSim(b, "b", {"--fault", "page=0x202:error"});
  StartSim(c, "c");
  environment.clear();
  host_.AttachPort(1, a.ptyPath(), environment);
  host_.AttachPort(2, b.ptyPath(), environment);
  host_.AttachPort(3, c.ptyPath(), environment);
  const std::string deviceB = host_.DeviceArgument(2, b.ptyPath());
  const FlashResult gang =
      RunFlash({"--port", "1", "--device", deviceB, "--port", "3", Arg(file)}, environment);
  EXPECT_EQ(gang.exitCode, 9) << gang.out << gang.err;
  const std::string pa = "[COM1] ";
  const std::string pb = "[" + deviceB + "] ";
  const std::string pc = "[COM3] ";
  const std::vector<std::string> lines = Lines(gang.out);
  EXPECT_THAT(lines,
              AllOf(Contains(pa + "File successfully loaded"), Contains(pc + "File successfully loaded"),
                    Contains(pb + "Flash programming error")));
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_THAT(lines[i], AnyOf(HasSubstr(pa), HasSubstr(pb), HasSubstr(pc)))
        << "every device line is prefixed";
  }
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(lines[lines.size() - 3], HasSubstr(pa + "summary: File successfully loaded"));
  EXPECT_THAT(lines[lines.size() - 2], HasSubstr(pb + "summary: Flash programming error"));
  EXPECT_THAT(lines[lines.size() - 1], HasSubstr(pc + "summary: File successfully loaded"));
  // Five erases of a second each dominate a run; three devices in a row would take three times as long.
  EXPECT_LT(gang.seconds, 2.0 * alone.seconds)
      << "gang " << gang.seconds << " s, one device " << alone.seconds << " s";

  ASSERT_EQ(a.Stop(), 0);
  ASSERT_EQ(c.Stop(), 0);
  EXPECT_EQ(ReadBytes(Path("a.dump")), want);
  EXPECT_EQ(ReadBytes(Path("c.dump")), want);
}

class FlashInterrupt : public FlashEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(FlashInterrupt, ShutsTheLineAndLeavesItFreeForTheNextRun) {
  const int signal = GetParam();
  if (host_.UnderWine() && signal == SIGTERM) {
    GTEST_SKIP() << "Windows has no termination request for a console program; wine ends it at once";
  }
  FileData data;
  AddBytes(data, 0x10000, 0x400);  // Sector1, four pages
  const std::string file = WriteHex("app.hex", data);
  const std::vector<uint8_t> want = ExpectedFlash(data, Sector1Kind(), StampFor("APP"));
  SimProcess sim;
  StartSim(sim, "sim");
  Environment environment;
  host_.AttachPort(1, sim.ptyPath(), environment);
  FlashProcess interrupted;
  ASSERT_TRUE(interrupted.Start({"--port", "1", Arg(file)}, environment));
  // The erase takes a second of pauses: the signal lands in the middle of the download.
  ASSERT_TRUE(interrupted.WaitForOutput("Erasing sector #1...", 10000));
  interrupted.Signal(signal);
  const FlashResult run = interrupted.Wait(20000);
  EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("Interrupted"));
  EXPECT_THAT(LastLine(run.out),
              AnyOf("Serial communication error", "Communication error during memory erasing"));
  // Shut down as closing the window does: the next command fails at once, six tries, no waiting out.
  EXPECT_LT(run.seconds, 5.0);

  const FlashResult next = RunFlash({"--port", "1", Arg(file)}, environment);
  EXPECT_EQ(next.exitCode, 0) << next.out << next.err;
  ASSERT_EQ(sim.Stop(), 0);
  EXPECT_EQ(ReadBytes(Path("sim.dump")), want);
}

INSTANTIATE_TEST_SUITE_P(Signals, FlashInterrupt, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

TEST_F(FlashEndToEnd, QuietAndTraceOnTheRealLine) {
  FileData data;
  AddBytes(data, 0x7A000, 0x100);
  const std::string file = WriteHex("s9.hex", data);
  SimProcess sim;
  StartSim(sim, "sim");
  Environment environment;
  host_.AttachPort(1, sim.ptyPath(), environment);
  const std::string device = host_.DeviceArgument(1, sim.ptyPath());
  const FlashResult quiet = RunFlash({"--quiet", "--device", device, Arg(file)}, environment);
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out, "File successfully loaded\n");
  EXPECT_EQ(quiet.err, "") << "no progress at all under --quiet";

  const FlashResult traced = RunFlash({"--trace", "--device", device, Arg(file)}, environment);
  EXPECT_EQ(traced.exitCode, 0);
  std::vector<std::string> lines = Lines(traced.err);
  // Standard error is a pipe here: progress comes as plain lines between the trace lines.
  EXPECT_THAT(lines,
              Contains(AllOf(HasSubstr("[########################] 1/1 100 %"), HasSubstr("left 0:00"))));
  std::erase_if(lines, [](const std::string& line) { return line.starts_with("["); });
  EXPECT_THAT(lines, Contains(HasSubstr("ms > A2 10 3D 11")));   // erase sector 9
  EXPECT_THAT(lines, Contains(HasSubstr("ms > A2 11 A0 07 ")));  // its first page
  EXPECT_THAT(lines, Contains(HasSubstr("ms < E5")));
  EXPECT_THAT(lines, Contains(HasSubstr("ms < 68")));
  EXPECT_EQ(lines.size(), 2u * 3u) << "one erase and one page, each a packet and two reply bytes";
}

// Each way a line cannot be opened ends with exit 8 and one line on standard error that names the
// device, the cause and the fix.
TEST_F(FlashEndToEnd, OpenFailuresNameTheDeviceTheCauseAndTheFix) {
  if (host_.UnderWine()) GTEST_SKIP() << "Linux device paths and causes";
  FileData data;
  AddBytes(data, 0x10000, 0x100);
  const std::string file = WriteHex("app.hex", data);
  const std::string regular = WriteText("not-a-line", "");
  struct Row {
    std::string device;
    std::string why;
  };
  const Row rows[] = {
      {"/nonexistent/ttyUSB9", ": no such device; ld6193-flash --list-ports shows"},
      {"/dev/null", ": not a serial line; name a serial device"},
      {regular, ": not a serial line; name a serial device"},
  };
  for (const Row& row : rows) {
    const FlashResult run = RunFlash({"--device", row.device, file});
    EXPECT_EQ(run.exitCode, 8) << row.device;
    EXPECT_EQ(LastLine(run.out), "Serial communication error");
    EXPECT_THAT(run.err, HasSubstr("cannot open " + row.device + row.why));
  }

  // A line that another flasher holds: the second one names it.
  SimProcess sim;
  StartSim(sim, "sim", {"--erase-ms", "20000"});
  FlashProcess first;
  ASSERT_TRUE(first.Start({"--device", sim.ptyPath(), file}));
  ASSERT_TRUE(first.WaitForOutput("Erasing sector #1...", 10000));
  const FlashResult second = RunFlash({"--device", sim.ptyPath(), file});
  EXPECT_EQ(second.exitCode, 8);
  EXPECT_THAT(second.err, HasSubstr("cannot open " + sim.ptyPath() + ": busy, held by ld6193-flash (pid "));
  first.Signal(SIGINT);
  EXPECT_EQ(first.Wait(20000).exitCode, 130);
}

// A user outside the group that owns a line gets the dialout advice. Run as root, the test makes the
// flasher a normal user; run as a normal user, it makes a line that user may not open.
TEST_F(FlashEndToEnd, ALineTheUserMayNotOpenGivesThePermissionFix) {
  if (host_.UnderWine()) GTEST_SKIP() << "Linux permissions";
  FileData data;
  AddBytes(data, 0x10000, 0x100);
  const std::string file = WriteHex("app.hex", data);
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string line = ptsname(master);
  ASSERT_EQ(chmod(line.c_str(), 0), 0);
  FlashProcess flash;
  constexpr uid_t Nobody = 65534;
  if (geteuid() == 0) flash.RunAs(Nobody, Nobody);
  ASSERT_TRUE(flash.Start({"--device", line, file}));
  const FlashResult run = flash.Wait(20000);
  close(master);
  if (geteuid() == 0 && run.exitCode == 127 && run.err.empty()) {
    // The flasher never started: the build lies where that user cannot go (a checkout under /root).
    GTEST_SKIP() << "the unprivileged user cannot run the flasher in this build folder";
  }
  EXPECT_EQ(run.exitCode, 8) << run.err;
  EXPECT_THAT(run.err, HasSubstr("cannot open " + line +
                                 ": permission denied; add your user to the dialout group (sudo usermod -aG "
                                 "dialout $USER), then log out and in again"));
}

TEST_F(FlashEndToEnd, ListPortsShowsAnEnvironmentOverride) {
  if (host_.UnderWine()) GTEST_SKIP() << "the Linux port list";
  const FlashResult run = RunFlash({"--list-ports"}, {{"LD6193_COM2", "/dev/pts/kv-test"}});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "COM2 \u2014 /dev/pts/kv-test (LD6193_COM2)");
  for (size_t i = 0; i < 4; ++i)
    EXPECT_TRUE(lines[i].starts_with("COM" + std::to_string(i + 1) + " ")) << lines[i];
}

}  // namespace
}  // namespace kv::test
