#include "tests/cli/flash_process.h"

#include <poll.h>
#include <signal.h>
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
  // The child, if it still runs, is killed by child_ once these are closed.
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

bool FlashProcess::Start(const std::vector<std::string>& args, const Environment& environment,
                         const std::string& workingDirectory) {
  const FlasherHost& host = FlasherHost::FromEnvironment();
  std::vector<std::string> argv = host.Command();
  argv.insert(argv.end(), args.begin(), args.end());
  ChildOptions options;
  // wine's own diagnostics would mix with the program's standard error.
  if (host.UnderWine()) options.environment.emplace_back("WINEDEBUG", "-all");
  options.environment.insert(options.environment.end(), environment.begin(), environment.end());
  options.workingDirectory = workingDirectory;
  options.uid = uid_;
  options.gid = gid_;
  options.stdoutTo = options.stderrTo = Sink::Pipe;
  started_ = NowSeconds();
  if (!child_.Start(argv, options)) return false;
  out_ = child_.TakeStdout();
  err_ = child_.TakeStderr();
  return true;
}

bool FlashProcess::Exited() {
  return child_.Exited();
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

bool FlashProcess::WaitForOutput(const std::string& text, int timeoutMs, size_t from) {
  const double deadline = NowSeconds() + timeoutMs / 1000.0;
  while (result_.out.find(text, from) == std::string::npos) {
    if (NowSeconds() > deadline || !Pump(20)) return false;
  }
  return true;
}

void FlashProcess::Signal(int signal) {
  child_.Signal(signal);
}

FlashResult FlashProcess::Wait(int timeoutMs) {
  const double deadline = NowSeconds() + timeoutMs / 1000.0;
  bool killed = false;
  while (Pump(50)) {
    if (!killed && NowSeconds() > deadline) {
      child_.Signal(SIGKILL);
      killed = true;
    }
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
  out_ = err_ = -1;
  const FlasherHost& host = FlasherHost::FromEnvironment();
  result_.out = host.PlainLines(result_.out);
  result_.err = host.PlainLines(result_.err);
  result_.exitCode = child_.Reap();
  result_.seconds = NowSeconds() - started_;
  return result_;
}

FlashResult RunFlash(const std::vector<std::string>& args, const Environment& environment,
                     const std::string& workingDirectory) {
  FlashProcess process;
  if (!process.Start(args, environment, workingDirectory)) return {};
  return process.Wait();
}

}  // namespace kv::test
