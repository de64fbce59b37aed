#include "tests/cli/flash_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace kv::test {
namespace {

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string PortVariable(int n) {
  return "LD6193_COM" + std::to_string(n);
}

}  // namespace

FlasherHost::FlasherHost() {
  std::istringstream words(Variable("KV_FLASH_COMMAND"));
  for (std::string word; words >> word;) command_.push_back(word);
  if (command_.empty()) {
#ifdef KV_FLASH_BINARY
    command_.push_back(KV_FLASH_BINARY);
#else
    command_.push_back("ld6193-flash");
#endif
  }
  wine_ = Variable("KV_FLASH_PORT_MAPPER") == "wine";
  if (wine_ && !Variable("WINEPREFIX").empty()) comFolder_ = Variable("WINEPREFIX") + "/kv-com";
}

const FlasherHost& FlasherHost::FromEnvironment() {
  static const FlasherHost host;
  return host;
}

std::string FlasherHost::Problem() const {
  if (!wine_) return {};
  if (comFolder_.empty()) return "KV_FLASH_PORT_MAPPER=wine needs WINEPREFIX";
  if (!std::filesystem::is_directory(comFolder_)) return comFolder_ + " is missing: the prefix maps no ports";
  return {};
}

std::string FlasherHost::LinkFor(int n) const {
  return comFolder_ + "/com" + std::to_string(n);
}

void FlasherHost::AttachPort(int n, const std::string& ptyPath, Environment& environment) const {
  if (!wine_) {
    environment.emplace_back(PortVariable(n), ptyPath);
    return;
  }
  std::error_code ignored;
  std::filesystem::remove(LinkFor(n), ignored);
  std::filesystem::create_symlink(ptyPath, LinkFor(n));
}

void FlasherHost::ReleasePorts() const {
  if (!wine_) return;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(comFolder_, ignored)) {
    if (entry.is_symlink(ignored)) std::filesystem::remove(entry.path(), ignored);
  }
}

int FlasherHost::MissingPort(Environment& environment) const {
  // Far above the serial lines a machine has: neither a link here nor a /dev/ttyS199.
  constexpr int Missing = 200;
  if (!wine_) {
    // Nothing can live under /dev/null, which is no folder.
    environment.emplace_back(PortVariable(Missing), "/dev/null/no-such-line");
  }
  return Missing;
}

std::string FlasherHost::DeviceArgument(int n, const std::string& ptyPath) const {
  return wine_ ? "\\\\.\\COM" + std::to_string(n) : ptyPath;
}

std::string FlasherHost::FlasherPath(const std::string& path) const {
  if (!wine_) return path;
  // A fresh prefix maps drive Z: to the root folder.
  std::string windows = "Z:" + path;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

std::string FlasherHost::PlainLines(std::string text) const {
  if (!wine_) return text;
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain.push_back(text[i]);
  }
  return plain;
}

FlashProcess::~FlashProcess() {
  if (pid_ > 0 && !exited_) {
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
  std::vector<std::string> words = FlasherHost::FromEnvironment().Command();
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  started_ = NowSeconds();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    // wine's own diagnostics would mix with the program's standard error.
    if (FlasherHost::FromEnvironment().UnderWine()) setenv("WINEDEBUG", "-all", 1);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(126);
    if (uid_ != static_cast<uid_t>(-1) &&
        (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0)) {
      _exit(125);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
  return pid_ > 0;
}

bool FlashProcess::Exited() {
  if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return exited_;
}

bool FlashProcess::Pump(int timeoutMs) {
  // Once the program has ended, everything it wrote is in the pipes already: take it without waiting.
  const bool ended = Exited();
  if (ended && out_ < 0 && err_ < 0) return false;
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};  // closed ones (-1) are skipped
  const int ready = poll(fds, 2, ended ? 0 : timeoutMs);
  if (ready == 0) return !ended;
  if (ready < 0) return true;
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
  if (pid_ > 0 && !exited_) kill(pid_, signal);
}

FlashResult FlashProcess::Wait(int timeoutMs) {
  const double deadline = NowSeconds() + timeoutMs / 1000.0;
  bool killed = false;
  while (Pump(50)) {
    if (!killed && NowSeconds() > deadline) {
      kill(pid_, SIGKILL);
      killed = true;
    }
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
  out_ = err_ = -1;
  pid_ = -1;
  const FlasherHost& host = FlasherHost::FromEnvironment();
  result_.out = host.PlainLines(result_.out);
  result_.err = host.PlainLines(result_.err);
  result_.exitCode = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  result_.seconds = NowSeconds() - started_;
  return result_;
}

bool FlasherHost::LoaderFailedAtExit(const FlashResult& result) const {
  return wine_ && result.exitCode == 127 &&
         result.err.find("Inconsistency detected by ld.so") != std::string::npos;
}

FlashResult RunFlash(const std::vector<std::string>& args, const Environment& environment,
                     const std::string& workingDirectory) {
  constexpr int Attempts = 3;
  FlashResult result;
  for (int attempt = 0; attempt < Attempts; ++attempt) {
    FlashProcess process;
    if (!process.Start(args, environment, workingDirectory)) return {};
    result = process.Wait();
    if (!FlasherHost::FromEnvironment().LoaderFailedAtExit(result)) break;
  }
  return result;
}

}  // namespace kv::test
