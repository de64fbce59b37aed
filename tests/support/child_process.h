// Starts a program as a child of a test and keeps it until it is reaped: the one place in the tests
// that forks and execs. The caller chooses the environment it adds, the working directory, the user
// it runs as, and where its standard output and standard error go (the test's own streams, pipes
// the test reads, or one log file). Exit codes are the shell's: the program's own, or 128 + signal.
// A child that is still there when its ChildProcess goes is killed and reaped, so no test leaves
// one behind.
//
//   ChildProcess child;
//   ChildOptions options;
//   options.stdoutTo = Sink::Pipe;
//   if (!child.Start({"kv6193-sim"}, options)) FAIL() << child.error();
//   const int out = child.TakeStdout();  // the caller reads and closes it
//   ...
//   const int code = child.Stop(SIGTERM);
//
// Before exec the child reports a setup failure by its exit code, as a shell would: 125 when it
// cannot become the user asked for, 126 when it cannot enter the working directory, 127 when the
// program cannot be run (not installed, say).
#pragma once

#if !defined(_WIN32)

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace kv::test {

// Variables added to (or replacing those of) the test's own environment.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Where a child's output stream goes.
enum class Sink {
  Inherit,  // the test's own stream
  Pipe,     // a pipe whose reading end TakeStdout/TakeStderr hand over
  LogFile,  // ChildOptions::logFile, emptied first; both streams may share it
};

inline constexpr uid_t KeepUser = static_cast<uid_t>(-1);
inline constexpr gid_t KeepGroup = static_cast<gid_t>(-1);

struct ChildOptions {
  Environment environment;
  std::string workingDirectory;  // empty: the test's own
  uid_t uid = KeepUser;          // else runs as this user, in `gid` alone with no other groups
  gid_t gid = KeepGroup;
  Sink stdoutTo = Sink::Inherit;
  Sink stderrTo = Sink::Inherit;
  std::string logFile;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills and reaps a child that is still there; closes pipes not taken
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched in PATH) with the rest as its arguments. False with error() when no
  // child could be made; a program that cannot be run shows as exit code 127 instead.
  bool Start(const std::vector<std::string>& argv, const ChildOptions& options = {});

  // The reading end of a Sink::Pipe stream, once; -1 otherwise. The caller closes it.
  int TakeStdout();
  int TakeStderr();

  // Whether the child has ended, without waiting; reaps it when it has.
  bool Exited();
  // Waits for the child to end and gives its exit code; -1 when nothing ran. Repeated calls give
  // the same code.
  int Reap();
  // Sends `signal` to a child that has not been reaped yet.
  void Signal(int signal);
  // Signal, then Reap.
  int Stop(int signal);

  pid_t pid() const { return pid_; }
  // Started and not yet reaped.
  bool running() const { return pid_ > 0; }
  int exitCode() const { return exitCode_; }
  const std::string& error() const { return error_; }

 private:
  void Finish(int status);
  void CloseUntaken();

  pid_t pid_ = -1;
  int exitCode_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string error_;
};

}  // namespace kv::test

#endif
