#include "tests/support/child_process.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace kv::test {
namespace {

// The test's environment with `extra` laid over it, as "NAME=value" texts. Built before fork: the
// child of a threaded test may only call what is safe after fork, which setenv is not.
std::vector<std::string> MergedEnvironment(const Environment& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [extraName, value] : extra) replaced = replaced || extraName == name;
    if (!replaced) merged.push_back(text);
  }
  for (const auto& [name, value] : extra) merged.push_back(name + "=" + value);
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

void CloseBoth(int ends[2]) {
  for (int i = 0; i < 2; ++i) {
    if (ends[i] >= 0) close(ends[i]);
    ends[i] = -1;
  }
}

// Everything the child does between fork and exec; it never returns.
[[noreturn]] void RunChild(const ChildOptions& options, int outEnd, int errEnd, char** argv, char** envp) {
  if (outEnd >= 0 && dup2(outEnd, STDOUT_FILENO) < 0) _exit(126);
  if (errEnd >= 0 && dup2(errEnd, STDERR_FILENO) < 0) _exit(126);
  if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
  if (options.uid != KeepUser &&
      (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 || setuid(options.uid) != 0)) {
    _exit(125);
  }
  environ = envp;
  execvp(argv[0], argv);
  _exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (running()) Stop(SIGKILL);
  CloseUntaken();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const ChildOptions& options) {
  if (running() || argv.empty()) {
    error_ = running() ? "already running" : "nothing to run";
    return false;
  }
  CloseUntaken();
  error_.clear();
  exitCode_ = -1;
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int log = -1;
  const bool outPipe = options.stdoutTo == Sink::Pipe;
  const bool errPipe = options.stderrTo == Sink::Pipe;
  const bool logged = options.stdoutTo == Sink::LogFile || options.stderrTo == Sink::LogFile;
  if ((outPipe && pipe2(out, O_CLOEXEC) != 0) || (errPipe && pipe2(err, O_CLOEXEC) != 0)) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    CloseBoth(out);
    return false;
  }
  if (logged) log = open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logged && log < 0) {
    error_ = "cannot write " + options.logFile + ": " + std::strerror(errno);
    CloseBoth(out);
    CloseBoth(err);
    return false;
  }
  std::vector<std::string> words = argv;
  std::vector<char*> args = Pointers(words);
  std::vector<std::string> environment = MergedEnvironment(options.environment);
  std::vector<char*> envp = Pointers(environment);
  const auto childEnd = [&](Sink sink, int pipeEnds[2]) {
    return sink == Sink::Pipe ? pipeEnds[1] : sink == Sink::LogFile ? log : -1;
  };
  pid_ = fork();
  if (pid_ == 0)
    RunChild(options, childEnd(options.stdoutTo, out), childEnd(options.stderrTo, err), args.data(),
             envp.data());
  if (pid_ < 0) error_ = std::string("fork: ") + std::strerror(errno);
  if (log >= 0) close(log);
  // Only the child may hold the writing ends, or reading would never see the end of its output.
  for (int* ends : {out, err}) {
    if (ends[1] >= 0) close(ends[1]);
  }
  stdout_ = out[0];
  stderr_ = err[0];
  if (pid_ < 0) CloseUntaken();
  return pid_ > 0;
}

int ChildProcess::TakeStdout() {
  return std::exchange(stdout_, -1);
}

int ChildProcess::TakeStderr() {
  return std::exchange(stderr_, -1);
}

void ChildProcess::Finish(int status) {
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
}

bool ChildProcess::Exited() {
  if (!running()) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  Finish(status);
  return true;
}

int ChildProcess::Reap() {
  if (!running()) return exitCode_;
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done != pid_) {
    pid_ = -1;  // not ours to wait for (already reaped elsewhere): nothing more to learn
    return exitCode_;
  }
  Finish(status);
  return exitCode_;
}

void ChildProcess::Signal(int signal) {
  if (running()) kill(pid_, signal);
}

int ChildProcess::Stop(int signal) {
  Signal(signal);
  return Reap();
}

void ChildProcess::CloseUntaken() {
  int ends[2] = {TakeStdout(), TakeStderr()};
  CloseBoth(ends);
}

}  // namespace kv::test

#endif
