// Which device each port number COMn stands for, and the serial ports this machine has.
//
// LD6193_COM<n> always wins. Otherwise, on Linux COMn is the n-th serial port present, in a stable
// order: USB and ACM adapters first, by their /dev/serial/by-id names (so an adapter keeps its number
// while the same set is plugged in), then any other USB or ACM line, then the on-board UARTs that
// really exist (a ttyS whose UART type is not "unknown"). On Windows COMn is \\.\COMn.
//
// The search runs against a root folder, so that tests can point it at a fake /sys and /dev tree.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kv {

// The highest port number a user can give (COM255).
inline constexpr int HighestPortNumber = 255;

// A serial line found on this machine.
struct PresentPort {
  std::string device;       // what to open: "/dev/ttyUSB0" (under the root given to the search)
  std::string description;  // vendor and product where the system knows them: "FTDI FT232R USB UART"
};

// The serial lines present under `root` ("/" for this machine), in COMn order. Nothing on Windows.
std::vector<PresentPort> FindPresentPorts(const std::string& root);

// Reads an environment variable; nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// What one COMn stands for.
struct PortEntry {
  int number = 0;
  std::string device;       // empty when no present port has this number
  std::string description;  // as in PresentPort; empty when the system knows nothing more
  bool fromEnvironment = false;
};

// COMn as resolved from the environment and the ports present.
PortEntry ResolvePort(int n, const std::vector<PresentPort>& present, const EnvironmentLookup& environment);

// COM1 to COM`atLeast`, and further while ports are present or named by the environment.
std::vector<PortEntry> ListPorts(const std::vector<PresentPort>& present,
                                 const EnvironmentLookup& environment, int atLeast);

// "COM1 — /dev/ttyUSB0, FTDI FT232R", "COM2 — /dev/pts/3 (LD6193_COM2)", "COM3 — not present".
std::string DescribePortEntry(const PortEntry& entry);

// ListPorts for this machine and this process's environment, from one look at its serial ports.
std::vector<PortEntry> ListSystemPorts(int atLeast);

// The device for COMn that no environment variable names (platform file).
std::string DefaultPortDevice(int n, const std::vector<PresentPort>& present);

}  // namespace kv
