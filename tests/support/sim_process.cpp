#include "tests/support/sim_process.h"

#if !defined(_WIN32)

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kv::test {
namespace {

constexpr int FirstLineTimeoutMs = 5000;

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

enum class LineRead { Line, Ended, TimedOut };

// Reads up to the first newline, waiting at most until `deadlineMs`.
LineRead ReadFirstLine(int fd, int64_t deadlineMs, std::string& line) {
  for (;;) {
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return LineRead::TimedOut;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return LineRead::TimedOut;
    char c;
    const ssize_t n = ready < 0 ? -1 : read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return LineRead::Ended;
    if (c == '\n') return LineRead::Line;
    line.push_back(c);
  }
}

}  // namespace

std::string SimBinaryPath() {
  if (const char* fromEnv = std::getenv("KV_SIM_BINARY"); fromEnv && *fromEnv) return fromEnv;
#ifdef KV_SIM_BINARY
  return KV_SIM_BINARY;
#else
  return "kv6193-sim";
#endif
}

bool SimProcess::Start(const std::vector<std::string>& args, const std::string& binary) {
  if (running()) {
    error_ = "already running";
    return false;
  }
  ptyPath_.clear();
  error_.clear();
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildOptions options;
  options.stdoutTo = Sink::Pipe;
  if (!child_.Start(argv, options)) {
    error_ = child_.error();
    return false;
  }
  const int out = child_.TakeStdout();
  const LineRead got = ReadFirstLine(out, NowMs() + FirstLineTimeoutMs, ptyPath_);
  close(out);
  if (got == LineRead::Line && !ptyPath_.empty()) return true;

  // It ended (bad options, say: collect its code) or hangs (kill it): either way it is of no use.
  if (got == LineRead::Ended) {
    child_.Reap();
  } else {
    child_.Stop(SIGKILL);
  }
  error_ = binary + " gave no terminal path (exit code " + std::to_string(exitCode()) + ")";
  ptyPath_.clear();
  return false;
}

}  // namespace kv::test

#endif
