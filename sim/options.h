// The simulator's command line:
//   kv6193-sim [--link PATH] [--dump FILE] [--flash FILE] [--trace FILE] [--line-rate]
//              [--erase-ms N] [--fault RULE]... [--hangup-after N]
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "sim/device.h"

namespace kv::sim {

inline constexpr int ExitUsage = 2;
inline constexpr int ExitFailure = 1;

struct SimOptions {
  std::string linkPath;   // symbolic link made to the terminal, removed on exit
  std::string dumpPath;   // flash written here after each finish and on exit
  std::string flashPath;  // flash contents at start (else all 0xFF)
  std::string tracePath;  // one line per packet received and per reply byte sent
  DeviceOptions device;
};

// What the command line asks for: to run the simulator, or to stop at once with an exit code.
struct ParsedCommandLine {
  bool run = false;  // true: serve with the options read
  int exitCode = 0;  // when not run: 0 after --help or --version, ExitUsage after a mistake
};

// Reads the command line into `options`. Before stopping it prints the help or version (exit code
// 0) on `out`, or the problem and the usage (ExitUsage) on `err`.
ParsedCommandLine ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::ostream& out,
                                  std::ostream& err);

}  // namespace kv::sim
