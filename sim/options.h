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

// Reads the command line into `options`. Gives nothing when the simulator should run; otherwise the
// exit code, having printed the help (0) on `out` or the problem and the usage (2) on `err`.
std::optional<int> ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::ostream& out,
                                   std::ostream& err);

}  // namespace kv::sim
