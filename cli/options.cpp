#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <ostream>
#include <utility>

#include "line/port.h"
#include "net/network_port.h"
#include "ports/port_names.h"
#include "station/exit_codes.h"
#include "station/station.h"

namespace kv {
namespace {

// "COM3", "com3" and "3" all name COM3: CLI11 reads the number that is left.
std::string PortNumberText(std::string text) {
  if (const std::optional<int> number = ParsePortName(text)) return std::to_string(*number);
  return text;
}

bool HasDuplicate(const std::vector<DeviceTarget>& devices) {
  for (size_t i = 0; i < devices.size(); ++i) {
    for (size_t j = i + 1; j < devices.size(); ++j) {
      if (devices[i].name == devices[j].name) return true;
    }
  }
  return false;
}

// The targets in the order they were given, --port and --device mixed.
std::vector<DeviceTarget> TargetsInOrder(const CLI::App& app, const CLI::Option* port,
                                         const CLI::Option* device) {
  std::vector<DeviceTarget> targets;
  size_t nextPort = 0;
  size_t nextDevice = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option == port) targets.push_back(TargetForPort(std::stoi(port->results().at(nextPort++))));
    if (option == device) targets.push_back(TargetForDevice(device->results().at(nextDevice++)));
  }
  return targets;
}

// What the station cannot do with the other options; empty when nothing.
std::string StationProblem(const FlashOptions& options) {
  if (!options.station) return {};
  if (options.plan || options.listPorts || options.forgetPort != 0) {
    return "--station flashes: it does not go with --plan, --list-ports or --forget-port.";
  }
  if (options.onEnter && options.devices.empty()) return "--on-enter needs the --port or --device to flash.";
  for (const DeviceTarget& target : options.devices) {
    if (std::string problem = WatchProblem(options.onEnter, target.name, target.devicePath);
        !problem.empty()) {
      return problem;
    }
  }
  return {};
}

// What is wrong with options that CLI11 took; empty when nothing.
std::string UsageProblem(const FlashOptions& options) {
  if (options.file.empty() && !options.listPorts && options.forgetPort == 0) return "FILE is required";
  if (HasDuplicate(options.devices)) return "The same device is named twice.";
  return StationProblem(options);
}

// --port and --device, in `ports` and `devices`. Returns the two options.
std::pair<CLI::Option*, CLI::Option*> AddTargetOptions(CLI::App& app, std::vector<int>& ports,
                                                       std::vector<std::string>& devices) {
  CLI::Option* port = app.add_option("--port", ports, "Flash COMn (repeatable)")
                          ->transform(PortNumberText)
                          ->check(CLI::Range(1, HighestPortNumber))
                          ->type_name("N|COMN")
                          ->allow_extra_args(false);  // one value each: FILE is not a port
  CLI::Option* device =
      app.add_option("--device", devices,
                     "Flash the serial device at PATH, or the network line at URL (repeatable)")
          ->check([](const std::string& path) {
            if (path.empty()) return std::string("empty device path");
            if (IsNetworkUrl(path) && !ParseNetworkUrl(path)) {
              return path + " is not a network line: write rfc2217://HOST:PORT or socket://HOST:PORT";
            }
            return std::string();
          })
          ->type_name("PATH|URL")
          ->allow_extra_args(false);
  return {port, device};
}

// Every option but --port and --device, in `options`.
void AddRunOptions(CLI::App& app, FlashOptions& options) {
  app.add_flag("--plan", options.plan, "Print what a download would do and how long it takes; open no port");
  app.add_flag("--trace", options.trace, "Write every packet sent and reply byte received to stderr");
  app.add_flag("--quiet", options.quiet, "Print only the final outcome (and on failure its cause)");
  app.add_option("--log", options.log,
                 "After each device's run, append a JSON line (time, device, file, sha256, kind, pages, "
                 "outcome, exit, seconds, cause; the station adds port and slot) to LOG")
      ->type_name("LOG");
  CLI::Option* station = app.add_flag(
      "--station", options.station,
      "Production station: flash every board as its port appears, until Ctrl-C; then print the tally");
  app.add_flag("--on-enter", options.onEnter,
               "With --station: flash the given --port/--device devices at each Enter instead")
      ->needs(station);
  app.add_flag("--list-ports", options.listPorts,
               "List COM1 to COM4 and further numbered serial ports, present or not, and exit");
  app.add_option("--forget-port", options.forgetPort,
                 "Free COMn's number (Linux), so that its adapter gets the lowest free one when next seen, "
                 "and exit")
      ->transform(PortNumberText)
      ->check(CLI::Range(1, HighestPortNumber))
      ->type_name("N|COMN");
  app.set_version_flag("--version", "ld6193-flash " KV_VERSION);
  app.add_option("FILE", options.file, "The Intel HEX file");
}

}  // namespace

std::string HelpFooter() {
  std::string text =
      "Ports: --port N (or COMN) is COMn: the device named by the environment variable LD6193_COM<n>,\n"
      "else the port that carries number n: on Windows the number Windows gave it, on Linux the number\n"
      "kept for the adapter in ~/.config/ld6193/com-numbers (a new adapter gets the lowest free one;\n"
      "an absent one keeps its number, which then fails to open). --list-ports shows which device each\n"
      "one is; --forget-port N frees a number.\n"
      "--device PATH names a serial device directly; --device rfc2217://HOST:PORT (RFC 2217) and\n"
      "--device socket://HOST:PORT (raw TCP) name a line on another machine, such as one exported by\n"
      "ser2net; LD6193_COM<n> may hold such a URL too. With no --port or --device, the port stored in\n"
      "ld6193.cfg in the working directory (1 to 5, else COM1); the file is only read, never changed.\n"
      "Several --port/--device options flash the same file to all those devices at once.\n"
      "\nStation: --station flashes each board as its serial port appears, several at once, and a port\n"
      "again only once it has gone and come back; ports there at the start are left alone. With\n"
      "--port/--device it watches only those; --on-enter flashes them at each Enter instead (adapters\n"
      "that stay plugged in, network lines). A line per device as it starts and ends, and the tally\n"
      "\"passed N \u00b7 failed N \u00b7 flashing N\". Ctrl-C stops once the running downloads end (a "
      "second\n"
      "one shuts them down), prints the tally and exits 0 if every device passed, else with the code of\n"
      "the first that failed. Example: ld6193-flash --station --log line.log firmware.hex\n"
      "\nExit codes:\n";
  char line[128];
  for (const ExitCodeRow& row : ExitCodeTable()) {
    std::snprintf(line, sizeof line, "  %3d  %.*s\n", row.code, static_cast<int>(row.meaning.size()),
                  row.meaning.data());
    text += line;
  }
  text += "For several devices: the code of the first device, in command-line order, that did not succeed.\n";
  return text;
}

CommandLine ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Flashes an Intel HEX firmware file into KV6193 devices through their resident loader.",
               "ld6193-flash"};
  app.footer([] { return HelpFooter(); });  // built only when --help is shown
  // CLI11 also takes "/option" on Windows, which would make a path such as "/fw/app.hex" an option.
  app.allow_windows_style_options(false);
  FlashOptions options;
  std::vector<int> ports;
  std::vector<std::string> devices;
  const auto [port, device] = AddTargetOptions(app, ports, devices);
  AddRunOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 has its own codes for each kind of parse error; ours has one.
    const int code = app.exit(e, out, err);
    return {std::nullopt, code == 0 ? ExitSuccess : ExitUsage};
  }
  options.devices = TargetsInOrder(app, port, device);
  if (const std::string problem = UsageProblem(options); !problem.empty()) {
    err << problem << "\nRun with --help for more information.\n";
    return {std::nullopt, ExitUsage};
  }
  return {std::move(options), ExitSuccess};
}

}  // namespace kv
