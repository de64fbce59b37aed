#include "tests/cli/flash_process.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kv::test {
namespace {

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

std::string FlashBinaryPath() {
#ifdef KV_FLASH_BINARY
  return KV_FLASH_BINARY;
#else
  return "ld6193-flash";
#endif
}

FlashProcess::~FlashProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait(5000);
  }
}

bool FlashProcess::Start(const std::vector<std::string>& args, const Environment& environment,
                         const std::string& workingDirectory) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) return false;
  const std::string binary = FlashBinaryPath();
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  started_ = NowSeconds();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
  return pid_ > 0;
}

bool FlashProcess::Pump(int timeoutMs) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (out_ < 0 && err_ < 0) return false;
  const int ready = poll(fds, 2, timeoutMs);
  if (ready <= 0) return true;
  int* ends[2] = {&out_, &err_};
  std::string* texts[2] = {&result_.out, &result_.err};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      texts[i]->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(*ends[i]);
      *ends[i] = -1;
    }
  }
  return true;
}

bool FlashProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  const double deadline = NowSeconds() + timeoutMs / 1000.0;
  while (result_.out.find(text) == std::string::npos) {
    if (NowSeconds() > deadline || !Pump(20)) return false;
  }
  return true;
}

void FlashProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

FlashResult FlashProcess::Wait(int timeoutMs) {
  const double deadline = NowSeconds() + timeoutMs / 1000.0;
  while (Pump(50)) {
    if (NowSeconds() > deadline) {
      kill(pid_, SIGKILL);
      break;
    }
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
  out_ = err_ = -1;
  int status = 0;
  while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result_.seconds = NowSeconds() - started_;
  return result_;
}

FlashResult RunFlash(const std::vector<std::string>& args, const FlashProcess::Environment& environment,
                     const std::string& workingDirectory) {
  FlashProcess process;
  if (!process.Start(args, environment, workingDirectory)) return {};
  return process.Wait();
}

}  // namespace kv::test

#endif
