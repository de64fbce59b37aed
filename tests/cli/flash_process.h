// Runs the real ld6193-flash program as a child for end-to-end tests: arguments, extra environment
// and working directory in; both output streams, the exit code and the wall time out. While it runs a
// test can wait for a text on its standard output and send it a signal.
#pragma once

#if !defined(_WIN32)

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace kv::test {

std::string FlashBinaryPath();

struct FlashResult {
  int exitCode = -1;  // 128 + signal when killed by one
  std::string out;
  std::string err;
  double seconds = 0;
};

class FlashProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;
  ~FlashProcess();

  bool Start(const std::vector<std::string>& args, const Environment& environment = {},
             const std::string& workingDirectory = {});
  // Collects output until standard output holds `text`; false when the program ended or time ran out.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  void Signal(int signal);
  // Collects output until the program ends; kills it after `timeoutMs`.
  FlashResult Wait(int timeoutMs = 120000);

 private:
  bool Pump(int timeoutMs);  // false once both pipes are closed

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  double started_ = 0;
  FlashResult result_;
};

// Start + Wait.
FlashResult RunFlash(const std::vector<std::string>& args, const FlashProcess::Environment& environment = {},
                     const std::string& workingDirectory = {});

}  // namespace kv::test

#endif
