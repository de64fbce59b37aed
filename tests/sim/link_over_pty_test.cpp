// The host's real serial port and loader commands, on the real clock, against the simulated device
// served in-process on a pseudo-terminal: results for every kind of device behaviour, and the
// command time limits kept when the device is slow, late or gone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "line/posix_port.h"
#include "line/system_clock.h"
#include "loader/loader_protocol.h"
#include "sim/options.h"
#include "sim/pty_server.h"
#include "tests/sim/sim_pty_io.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

using Clock = std::chrono::steady_clock;

enum class Command { Erase0, Erase62, EraseBad, Page, Finish };

// One simulator with the given command-line options, and the host's link to it.
class Bench {
 public:
  explicit Bench(std::vector<std::string> args) {
    args.insert(args.begin(), "kv6193-sim");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    sim::SimOptions options;
    std::ostringstream out, err;
    parsed_ = sim::ParseSimOptions(static_cast<int>(argv.size()), argv.data(), options, out, err).run;
    server_ = std::make_unique<sim::PtyServer>(options);
    std::string why;
    started_ = parsed_ && server_->Start(why);
    opened_ = started_ && port_.OpenDevice(server_->SlavePath()).Ok();
    data_.fill(0x5A);
  }
  ~Bench() {
    port_.ClosePort();
    server_->Join();
  }
  bool ready() const { return parsed_ && started_ && opened_; }

  LinkResult Run(Command command) {
    switch (command) {
      case Command::Erase0:
        return link_.EraseSector(0);
      case Command::Erase62:
        return link_.EraseSector(62);
      case Command::EraseBad:
        return link_.EraseSector(63);
      case Command::Page:
        return link_.ProgramPage(PageUnderTest, data_);
      case Command::Finish:
        return link_.Finish();
    }
    return LinkResult::LinkFailure;
  }
  // Runs the command and measures how long it took, in milliseconds.
  LinkResult Timed(Command command, int64_t& ms) {
    const Clock::time_point start = Clock::now();
    const LinkResult result = Run(command);
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return result;
  }
  PosixPort& port() { return port_; }
  std::string slavePath() const { return server_->SlavePath(); }

  static constexpr uint16_t PageUnderTest = 0x7C3;

 private:
  bool parsed_ = false, started_ = false, opened_ = false;
  std::unique_ptr<sim::PtyServer> server_;
  SystemClock clock_;
  PosixPort port_{clock_};
  std::array<uint8_t, PageDataSize> data_{};
  RecordingReaderHost pump_;
  LoaderLink link_{port_, clock_, pump_};
};

const char* Name(LinkResult r) {
  return r == LinkResult::Ok            ? "Ok"
         : r == LinkResult::DeviceError ? "DeviceError"
         : r == LinkResult::LinkFailure ? "LinkFailure"
                                        : "?";
}

TEST(LinkAgainstSim, ResultsForEachDeviceBehaviour) {
  struct Row {
    std::vector<std::string> args;
    Command command;
    LinkResult expected;
  };
  const std::vector<Row> rows = {
      {{}, Command::Erase0, LinkResult::Ok},
      {{}, Command::Page, LinkResult::Ok},
      {{}, Command::Finish, LinkResult::Ok},
      {{}, Command::EraseBad, LinkResult::DeviceError},
      {{"--fault", "erase=0:error"}, Command::Erase0, LinkResult::DeviceError},
      {{"--fault", "page=0x7C3:error"}, Command::Page, LinkResult::DeviceError},
      {{"--fault", "any:noack"}, Command::Erase0, LinkResult::LinkFailure},
      {{"--fault", "any:noack"}, Command::Page, LinkResult::LinkFailure},
      {{"--fault", "any:noack"}, Command::Finish, LinkResult::LinkFailure},
      {{"--fault", "any:nostatus"}, Command::Erase0, LinkResult::LinkFailure},
      {{"--fault", "any:nostatus"}, Command::Page, LinkResult::LinkFailure},
      {{"--fault", "any:badack"}, Command::Erase0, LinkResult::LinkFailure},
      {{"--fault", "any:badack"}, Command::Page, LinkResult::LinkFailure},
      {{"--fault", "any:badack"}, Command::Finish, LinkResult::LinkFailure},
      {{"--fault", "any:badstatus"}, Command::Erase0, LinkResult::LinkFailure},
      {{"--fault", "any:badstatus"}, Command::Page, LinkResult::LinkFailure},
      {{"--fault", "page=0x7C3:late=150"}, Command::Page, LinkResult::LinkFailure},
      {{"--fault", "page=0x7C3:late=40"}, Command::Page, LinkResult::Ok},
      // 80 ms after the packet has crossed a paced line: inside the loader's 100 ms.
      {{"--line-rate", "--fault", "page=0x7C3:late=80"}, Command::Page, LinkResult::Ok},
      {{"--fault", "erase=62:late=700"}, Command::Erase62, LinkResult::LinkFailure},
      {{"--fault", "finish:late=150"}, Command::Finish, LinkResult::LinkFailure},
      // Finish reads the acknowledge only: an error status behind it is not its business.
      {{"--fault", "finish:error"}, Command::Finish, LinkResult::Ok},
      {{"--erase-ms", "300"}, Command::Erase62, LinkResult::Ok},
      {{"--erase-ms", "1300"}, Command::Erase62, LinkResult::LinkFailure},
      {{"--line-rate"}, Command::Page, LinkResult::Ok},
      {{"--line-rate"}, Command::Erase0, LinkResult::Ok},
  };
  for (const Row& row : rows) {
    const std::string label = row.args.empty() ? "plain" : row.args.back();
    Bench bench(row.args);
    ASSERT_TRUE(bench.ready()) << label;
    EXPECT_STREQ(Name(bench.Run(row.command)), Name(row.expected))
        << label << " command " << int(row.command);
  }
}

TEST(LinkAgainstSim, AfterAHangUpEveryCommandFailsAtOnce) {
  for (Command command : {Command::Erase0, Command::Page, Command::Finish}) {
    Bench bench({"--hangup-after", "2", "--erase-ms", "0"});
    ASSERT_TRUE(bench.ready());
    ASSERT_EQ(bench.Run(Command::Page), LinkResult::Ok);
    EXPECT_EQ(bench.Run(command), LinkResult::LinkFailure) << int(command);
    // The line is gone: the next command fails without waiting out its reads.
    int64_t ms = 0;
    EXPECT_EQ(bench.Timed(Command::Page, ms), LinkResult::LinkFailure) << int(command);
    EXPECT_LT(ms, 100) << int(command);
  }
}

TEST(LinkAgainstSim, AHangUpMidCommandFailsWithinTheCommandsOwnLimit) {
  struct Row {
    Command command;
    int64_t limitMs;
  };
  // Scheduling on a busy machine may add a little; the limits themselves are 1000 + 200 and 200.
  constexpr int64_t SlackMs = 100;
  for (const Row& row : {Row{Command::Erase0, 1200}, Row{Command::Page, 200}, Row{Command::Finish, 100}}) {
    Bench bench({"--hangup-after", "1"});
    ASSERT_TRUE(bench.ready());
    int64_t ms = 0;
    EXPECT_EQ(bench.Timed(row.command, ms), LinkResult::LinkFailure) << int(row.command);
    EXPECT_LE(ms, row.limitMs + SlackMs) << int(row.command);
  }
}

TEST(LinkAgainstSim, TheLineCanBeClosedAndOpenedAgainBetweenDownloads) {
  Bench bench({"--erase-ms", "0"});
  ASSERT_TRUE(bench.ready());
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(bench.Run(Command::Page), LinkResult::Ok) << round;
    bench.port().ShutdownPort();
    ASSERT_TRUE(bench.port().OpenDevice(bench.slavePath()).Ok()) << round;
  }
}

TEST(LinkAgainstSim, LinePacingMakesAPageCostItsLineTime) {
  Bench bench({"--line-rate"});
  ASSERT_TRUE(bench.ready());
  int64_t ms = 0;
  ASSERT_EQ(bench.Timed(Command::Page, ms), LinkResult::Ok);
  // 261 bytes out and two back, 11 bits each at 115200 baud: 25.1 ms at the least.
  EXPECT_GE(ms, 25);
}

}  // namespace
}  // namespace kv::test

namespace kv::test {
namespace {

// A --link path left by a simulator that died is taken over; one that a live simulator serves is not.
TEST(SimLink, ReplacesAStaleLinkButRefusesALiveOne) {
  const std::string link = ::testing::TempDir() + "kv_sim_link_" + std::to_string(::getpid());
  std::remove(link.c_str());
  ASSERT_EQ(::symlink("/dev/pts/kv-gone", link.c_str()), 0);
  sim::SimOptions options;
  options.linkPath = link;
  sim::PtyServer first(options);
  std::string why;
  ASSERT_TRUE(first.Open(why)) << why;
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), first.SlavePath());

  sim::PtyServer second(options);
  EXPECT_FALSE(second.Open(why));
  EXPECT_NE(why.find("already points at " + first.SlavePath()), std::string::npos) << why;
  ::memset(target, 0, sizeof target);
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), first.SlavePath()) << "the live simulator keeps its link";
  std::remove(link.c_str());
}

}  // namespace
}  // namespace kv::test
