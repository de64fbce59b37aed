// ld6193-flash: the command-line flasher, for scripts, production lines and machines without a screen.
#include <chrono>
#include <iostream>
#include <string>

#include "cli/console.h"
#include "cli/flasher.h"
#include "cli/options.h"
#include "cli/platform.h"
#include "cli/port_commands.h"
#include "cli/port_setting.h"
#include "cli/station.h"
#include "ports/port_names.h"

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  kv::CommandLine commandLine = kv::ParseCommandLine(argc, argv, std::cout, std::cerr);
  if (!commandLine.options) return commandLine.exitCode;
  kv::FlashOptions& options = *commandLine.options;
  const kv::PortDirectory ports = kv::SystemPortDirectory();
  if (options.forgetPort != 0) return kv::ForgetPortTo(ports, options.forgetPort, std::cout, std::cerr);
  if (options.listPorts) return kv::ListPortsTo(ports, std::cout, std::cerr);
  if (options.devices.empty() && !options.station) {
    options.devices.push_back(kv::TargetForPort(kv::ReadPortSettingReadOnly()));
  }

  const std::atomic<bool>& interrupted = kv::WatchForInterrupts();
  kv::Console console(std::cout, std::cerr,
                      kv::ProgressStyleFor(options.quiet, kv::StandardErrorIsTerminal()),
                      kv::TerminalColumns);
  kv::FlasherEnvironment environment{console, ports, kv::MakeSerialLink, interrupted, start};
  if (options.station) {
    kv::StationEnvironment station{kv::InterruptCount(),
                                   [] {
                                     std::string line;
                                     return static_cast<bool>(std::getline(std::cin, line));
                                   },
                                   kv::InterruptWake()};
    return kv::RunStation(options, environment, station);
  }
  return kv::RunFlasher(options, environment);
}
