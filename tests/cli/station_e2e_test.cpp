// ld6193-flash --station against real kv6193-sim boards whose --link comes and goes in a fake
// /dev/serial/by-id folder (KV_TEST_PORT_ROOT points the port search there): boards one after another,
// one left connected, a port reconnected, a failing board and a port that is no serial line, two
// boards at once, and Ctrl-C once and twice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/cli/flash_e2e_fixture.h"

namespace kv::test {
namespace {

using ::testing::HasSubstr;

class StationEndToEnd : public FlashEndToEnd {
 protected:
  void SetUp() override {
    FlashEndToEnd::SetUp();
    if (host_.UnderWine()) GTEST_SKIP() << "the Linux port search over a fake tree";
    std::filesystem::create_directories(Path("root/dev/serial/by-id"));
    std::filesystem::create_directories(Path("root/sys/class/tty"));
  }

  Environment Machine() { return {{"KV_TEST_PORT_ROOT", Path("root")}}; }
  std::string ById(const std::string& name) { return Path("root/dev/serial/by-id/usb-KV_" + name + "-if00"); }
  // A board on the adapter `link`: a simulator whose by-id link is there while it runs.
  void Plug(SimProcess& sim, const std::string& tag, const std::string& link,
            std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--link", ById(link)});
    StartSim(sim, tag, extra);
  }
  static std::string Prefix(const SimProcess& sim) { return "[" + sim.ptyPath() + "] "; }
  // A board's lines are those with its terminal's path after it was plugged in: the system hands the
  // number of a terminal that has gone to the next one it makes, so an earlier board's lines may carry
  // the same path.
  struct Board {
    SimProcess sim;
    size_t from = 0;  // the station's output when it was plugged in
  };
  void Plug(Board& board, const FlashProcess& station, const std::string& tag, const std::string& link,
            std::vector<std::string> extra = {}) {
    board.from = station.OutputSoFar();
    Plug(board.sim, tag, link, std::move(extra));
  }
  static bool WaitFor(FlashProcess& station, const Board& board, const std::string& text) {
    return station.WaitForOutput(Prefix(board.sim) + text, Patience, board.from);
  }

  static constexpr int Patience = 20000;  // ms for any one board
};

TEST_F(StationEndToEnd, FlashesEachBoardOnceAsItComesAndAgainOnlyAfterItsPortHasGone) {
  FileData data;
  AddBytes(data, 0x10000, 0x300, 4);  // Sector1, three pages
  const std::string file = WriteHex("app.hex", data);
  const std::vector<uint8_t> want = ExpectedFlash(data, Sector1Kind(), StampFor("APP"));
  const std::string log = Path("line.log");

  SimProcess early;  // connected before the station starts: left alone
  Plug(early, "early", "early");
  FlashProcess station;
  ASSERT_TRUE(station.Start({"--station", "--log", log, file}, Machine()));
  ASSERT_TRUE(
      station.WaitForOutput("Left alone until unplugged and plugged in again: " + early.ptyPath(), Patience));
  ASSERT_TRUE(station.WaitForOutput("Waiting for boards on every serial port", Patience));

  // Three boards one after another, each staying connected while the next is flashed.
  Board boards[3];
  const std::string tags[3] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    Plug(boards[i], station, tags[i], tags[i]);
    ASSERT_TRUE(WaitFor(station, boards[i], "File successfully loaded (")) << tags[i];
  }
  // Board a goes; a new board on the same adapter is flashed.
  ASSERT_EQ(boards[0].sim.Stop(), 0);
  ASSERT_TRUE(WaitFor(station, boards[0], "removed"));
  Board again;
  Plug(again, station, "again", "a");
  ASSERT_TRUE(WaitFor(station, again, "File successfully loaded ("));
  // A failing board, and an adapter whose device is no serial line, count as failed.
  Board failing;
  Plug(failing, station, "failing", "failing", {"--fault", "page=0x101:error"});
  ASSERT_TRUE(WaitFor(station, failing, "Flash programming error ("));
  const std::string notALine = WriteText("not-a-line", "");
  std::filesystem::create_symlink(notALine, ById("broken"));
  ASSERT_TRUE(station.WaitForOutput("[" + notALine + "] Serial communication error (", Patience));
  // Two boards at once.
  Board pair[2];
  Plug(pair[0], station, "e", "e");
  Plug(pair[1], station, "f", "f");
  for (const Board& board : pair) ASSERT_TRUE(WaitFor(station, board, "File successfully loaded ("));
  // Ctrl-C while a board flashes: its download ends first, then the tally and the first failure's code.
  Board last;
  Plug(last, station, "last", "last");
  ASSERT_TRUE(WaitFor(station, last, "started"));
  station.Signal(SIGINT);
  const FlashResult run = station.Wait(Patience);
  EXPECT_EQ(run.exitCode, 9) << run.out << run.err;
  EXPECT_NE(run.out.find(Prefix(last.sim) + "File successfully loaded (", last.from), std::string::npos);
  EXPECT_EQ(LastLine(run.out), "passed 7 \u00b7 failed 2 \u00b7 flashing 0");
  // Standard error is a pipe: the tally is a line at each change.
  EXPECT_THAT(run.err, HasSubstr("passed 3 \u00b7 failed 0 \u00b7 flashing 0\n"));
  // The pair started before either ended.
  for (const Board& board : pair) {
    for (const Board& other : pair) {
      EXPECT_LT(run.out.find(Prefix(board.sim) + "started", board.from),
                run.out.find(Prefix(other.sim) + "File successfully", other.from));
    }
  }

  // One row per run, naming the adapter it ran on: a board left connected was flashed once, early never.
  std::map<std::string, int> runs;
  std::string failures;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const nlohmann::json row = nlohmann::json::parse(line);
    const std::string port = row["port"];
    ++runs[port.substr(7, port.size() - 12)];  // usb-KV_<name>-if00
    if (row["exit"] != 0)
      failures += port + " " + row["exit"].dump() + ": " + row["cause"].get<std::string>() + "\n";
  }
  EXPECT_EQ(
      runs,
      (std::map<std::string, int>{
          {"a", 2}, {"b", 1}, {"c", 1}, {"e", 1}, {"f", 1}, {"last", 1}, {"failing", 1}, {"broken", 1}}));
  EXPECT_THAT(failures, HasSubstr("usb-KV_failing-if00 9: page 0x101: the device reported"));
  EXPECT_THAT(failures, HasSubstr("usb-KV_broken-if00 8: cannot open " + notALine + ": not a serial line"));
  for (Board* board : {&boards[1], &boards[2], &again, &pair[0], &pair[1], &last})
    ASSERT_EQ(board->sim.Stop(), 0);
  for (const char* tag : {"a", "b", "c", "again", "e", "f", "last"})
    EXPECT_EQ(ReadBytes(Path(std::string(tag) + ".dump")), want) << tag;
}

TEST_F(StationEndToEnd, ASecondCtrlCShutsTheRunningDownloadsDownAsAnInterruptDoes) {
  FileData data;
  AddBytes(data, 0x10000, 0x100);
  const std::string file = WriteHex("app.hex", data);
  FlashProcess station;
  ASSERT_TRUE(station.Start({"--station", file}, Machine()));
  ASSERT_TRUE(station.WaitForOutput("Waiting for boards", Patience));
  SimProcess board;
  Plug(board, "slow", "slow", {"--erase-ms", "20000"});  // its erase outlasts the test
  ASSERT_TRUE(station.WaitForOutput(Prefix(board) + "started", Patience));
  station.Signal(SIGINT);
  ASSERT_TRUE(station.WaitForOutput("Stopping once the running downloads end; Ctrl-C again shuts them down",
                                    Patience));
  const auto second = std::chrono::steady_clock::now();
  station.Signal(SIGINT);
  const FlashResult run = station.Wait(Patience);
  EXPECT_LT(std::chrono::steady_clock::now() - second, std::chrono::seconds(5))
      << "shut down, not waited out";
  EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
  EXPECT_EQ(LastLine(run.err), "Interrupted");
  EXPECT_EQ(LastLine(run.out), "passed 0 \u00b7 failed 1 \u00b7 flashing 0");
  EXPECT_EQ(board.Stop(), 0);
}

}  // namespace
}  // namespace kv::test
