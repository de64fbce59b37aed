#include "tests/support/sim_process.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

SimProcess::~SimProcess() {
  if (running()) StopWith(SIGKILL);
}

bool SimProcess::Start(const std::vector<std::string>& args, const std::string& binary) {
  if (running()) {
    error_ = "already running";
    return false;
  }
  ptyPath_.clear();
  error_.clear();
  exitCode_ = -1;

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  const LineRead got = ReadFirstLine(out[0], NowMs() + FirstLineTimeoutMs, ptyPath_);
  close(out[0]);
  if (got == LineRead::Line && !ptyPath_.empty()) return true;

  // It ended (bad options, say: collect its code) or hangs (kill it): either way it is of no use.
  if (got == LineRead::Ended) {
    Reap();
  } else {
    StopWith(SIGKILL);
  }
  error_ = binary + " gave no terminal path (exit code " + std::to_string(exitCode_) + ")";
  ptyPath_.clear();
  return false;
}

int SimProcess::StopWith(int signal) {
  if (!running()) return exitCode_;
  kill(pid_, signal);
  return Reap();
}

int SimProcess::Reap() {
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done != pid_) return -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return exitCode_;
}

}  // namespace kv::test

#endif
