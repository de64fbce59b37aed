// Runs the real kv6193-sim program as a child process for end-to-end tests: start it with arguments,
// learn the path of its terminal from its first line, stop it with SIGTERM and collect its exit code.
//
//   kv::test::SimProcess sim;
//   ASSERT_TRUE(sim.Start({"--dump", dumpPath})) << sim.error();
//   setenv("LD6193_COM1", sim.ptyPath().c_str(), 1);
//   ...
//   EXPECT_EQ(sim.Stop(), 0);
#pragma once

#if !defined(_WIN32)

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace kv::test {

// The simulator built alongside the tests; the environment variable KV_SIM_BINARY overrides it.
std::string SimBinaryPath();

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess() = default;  // kills the child if it still runs
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts the simulator and waits (up to 5 s) for the terminal's path. False when it could not
  // start or ended first: error() says why, exitCode() gives its code if it ended.
  bool Start(const std::vector<std::string>& args, const std::string& binary = SimBinaryPath());

  const std::string& ptyPath() const { return ptyPath_; }
  pid_t pid() const { return child_.pid(); }
  bool running() const { return child_.running(); }
  const std::string& error() const { return error_; }

  // Sends SIGTERM and waits for the child; gives its exit code (128 + signal when killed by one;
  // -1 when nothing ran). Repeated calls give the same code.
  int Stop() { return StopWith(15); }
  // Same with any signal (SIGINT, SIGKILL to play a crash).
  int StopWith(int signal) { return child_.Stop(signal); }
  int exitCode() const { return child_.exitCode(); }

 private:
  ChildProcess child_;
  std::string ptyPath_;
  std::string error_;
};

}  // namespace kv::test

#endif
