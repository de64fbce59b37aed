// Runs the real ld6193-flash program as a child for end-to-end tests: arguments, extra environment
// and working directory in; both output streams, the exit code and the wall time out. While it runs a
// test can wait for a text on its standard output and send it a signal.
//
// Which program that is, and how it reaches a simulated device, comes from the environment, so that
// one list of cases checks the Linux program and, under wine, the Windows one:
//   KV_FLASH_COMMAND      how to start the flasher, words split at blanks; default: the Linux program
//                         built alongside the tests. Example: "wine /src/build/win/cli/ld6193-flash.exe".
//   KV_FLASH_PORT_MAPPER  "wine": the flasher runs under wine in the prefix $WINEPREFIX, whose registry
//                         key HKLM\Software\Wine\Ports maps each COMn to the symbolic link
//                         $WINEPREFIX/kv-com/comn (scripts/test-windows.sh sets this up); a test
//                         points that link at a simulator's terminal. Unset: COMn is reached through
//                         the environment variable LD6193_COM<n>.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace kv::test {

struct FlashResult;

// Where the flasher under test runs and how it names things.
class FlasherHost {
 public:
  static const FlasherHost& FromEnvironment();
  // Why the flasher cannot be reached as configured; empty when it can.
  std::string Problem() const;

  bool UnderWine() const { return wine_; }
  const std::vector<std::string>& Command() const { return command_; }

  // Makes the device on the terminal `ptyPath` the flasher's COMn.
  void AttachPort(int n, const std::string& ptyPath, Environment& environment) const;
  // Points every COMn back at nothing, so that no later run reaches a terminal that a simulator left
  // behind (its number may belong to someone else's by then).
  void ReleasePorts() const;
  // A port number n for which COMn does not exist. Not simply an unmapped number under wine: wine
  // opens /dev/ttyS<n-1> for a COMn that it has no device for.
  int MissingPort(Environment& environment) const;
  // What --device takes for the device attached as COMn: its terminal's path on Linux, "\\.\COMn"
  // (a device path of Windows' own) under wine.
  std::string DeviceArgument(int n, const std::string& ptyPath) const;
  // A file's path as the flasher is given it: unchanged on Linux, "Z:\..." under wine.
  std::string FlasherPath(const std::string& path) const;
  // Output with the platform's line ends turned into "\n".
  std::string PlainLines(std::string text) const;

 private:
  FlasherHost();
  std::string LinkFor(int n) const;

  bool wine_ = false;
  std::vector<std::string> command_;
  std::string comFolder_;  // under wine: where the links that COMn stands for live
};

struct FlashResult {
  int exitCode = -1;  // 128 + signal when killed by one
  std::string out;
  std::string err;
  double seconds = 0;
};

class FlashProcess {
 public:
  using Environment = test::Environment;
  ~FlashProcess();

  bool Start(const std::vector<std::string>& args, const Environment& environment = {},
             const std::string& workingDirectory = {});
  // Runs the next Start as this user (and group, with no others): for a root test that must see
  // what a normal user sees.
  void RunAs(uid_t uid, gid_t gid) {
    uid_ = uid;
    gid_ = gid;
  }
  // Collects output until standard output holds `text` at or after offset `from`; false when the
  // program ended or time ran out.
  bool WaitForOutput(const std::string& text, int timeoutMs, size_t from = 0);
  // How much standard output has been collected: where the lines of what happens next begin.
  size_t OutputSoFar() const { return result_.out.size(); }
  void Signal(int signal);
  // Collects output until the program ends; kills it after `timeoutMs`.
  FlashResult Wait(int timeoutMs = 120000);

 private:
  // Reads what has arrived within `timeoutMs`; false once the program has ended and its output is
  // drained (helpers it left behind may hold the pipes open: wine's services do).
  bool Pump(int timeoutMs);
  bool Exited();

  ChildProcess child_;
  uid_t uid_ = KeepUser;
  gid_t gid_ = KeepGroup;
  int out_ = -1;
  int err_ = -1;
  double started_ = 0;
  FlashResult result_;
};

// Start + Wait.
FlashResult RunFlash(const std::vector<std::string>& args, const Environment& environment = {},
                     const std::string& workingDirectory = {});

}  // namespace kv::test
