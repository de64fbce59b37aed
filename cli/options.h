// The flasher's command line:
//   ld6193-flash [--port N|COMN | --device PATH|URL]... [--plan] [--trace] [--quiet] [--log LOG] FILE
//   ld6193-flash --station [--on-enter] [--port N|COMN | --device PATH|URL]... [--trace] [--quiet]
//                [--log LOG] FILE
//   ld6193-flash --list-ports | --forget-port N|COMN | --version | --help
// parsed into options; usage errors become exit code 1, --help and --version exit 0.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "station/device_target.h"

namespace kv {

struct FlashOptions {
  std::vector<DeviceTarget> devices;  // command-line order; empty: take the port from ld6193.cfg
                                      // (the station: watch every serial port)
  bool station = false;               // flash every board as its port appears, until Ctrl-C
  bool onEnter = false;               // the station flashes the given devices at each Enter instead
  bool plan = false;
  bool trace = false;
  bool quiet = false;
  bool listPorts = false;  // list what COMn stands for and flash nothing (no FILE then)
  int forgetPort = 0;      // free this COM number and flash nothing (no FILE then); 0: none
  std::string log;         // append one JSON line per device here; empty: no log
  std::string file;
};

struct CommandLine {
  std::optional<FlashOptions> options;  // set when the flasher should run
  int exitCode = 0;                     // otherwise: 0 after --help or --version, 1 after a usage error
};

// Help and usage go to `out` and `err` respectively.
CommandLine ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The --help text's closing part: port resolution and the exit-code table.
std::string HelpFooter();

}  // namespace kv
