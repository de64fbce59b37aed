// The flasher's command line:
//   ld6193-flash [--port N|COMN | --device PATH]... [--plan] [--trace] [--quiet] FILE
//   ld6193-flash --list-ports | --version | --help
// parsed into options; usage errors become exit code 1, --help and --version exit 0.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// One device to flash: COMn by number (resolved as the window resolves it), or a device path.
struct DeviceTarget {
  std::string name;        // shown in front of its lines: "COM3" or the path
  int portNumber = 0;      // for a target by number
  std::string devicePath;  // for a target by path; empty for one by number

  bool ByPath() const { return !devicePath.empty(); }
  friend bool operator==(const DeviceTarget&, const DeviceTarget&) = default;
};

DeviceTarget TargetForPort(int n);
DeviceTarget TargetForDevice(const std::string& path);

struct FlashOptions {
  std::vector<DeviceTarget> devices;  // command-line order; empty: take the port from ld6193.cfg
  bool plan = false;
  bool trace = false;
  bool quiet = false;
  bool listPorts = false;  // list what COMn stands for and flash nothing (no FILE then)
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
