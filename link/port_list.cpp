// Port numbers to devices: the environment override first, then the platform's default.
#include <cstdlib>

#include "link/port.h"
#include "link/port_names.h"

namespace kv {
namespace {

std::string VariableFor(int n) {
  return "LD6193_COM" + std::to_string(n);
}

const char* ProcessEnvironment(const char* name) {
  return std::getenv(name);
}

}  // namespace

PortEntry ResolvePort(int n, const std::vector<PresentPort>& present, const EnvironmentLookup& environment) {
  PortEntry entry;
  entry.number = n;
  if (const char* path = environment(VariableFor(n).c_str()); path != nullptr && *path != '\0') {
    entry.device = path;
    entry.fromEnvironment = true;
    return entry;
  }
  entry.device = DefaultPortDevice(n, present);
  if (n >= 1 && static_cast<size_t>(n) <= present.size()) entry.description = present[n - 1].description;
  return entry;
}

std::vector<PortEntry> ListPorts(const std::vector<PresentPort>& present,
                                 const EnvironmentLookup& environment, int atLeast) {
  std::vector<PortEntry> entries;
  for (int n = 1; n <= HighestPortNumber; ++n) {
    PortEntry entry = ResolvePort(n, present, environment);
    if (n <= atLeast || static_cast<size_t>(n) <= present.size() || entry.fromEnvironment) {
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

std::string DescribePortEntry(const PortEntry& entry) {
  std::string text = PortName(entry.number) + " \u2014 ";
  if (entry.device.empty()) return text + "not present";
  text += entry.device;
  if (entry.fromEnvironment) return text + " (" + VariableFor(entry.number) + ")";
  if (!entry.description.empty()) text += ", " + entry.description;
  return text;
}

std::string PortDeviceName(int n) {
  return ResolvePort(n, FindPresentPorts("/"), ProcessEnvironment).device;
}

std::vector<PortEntry> ListSystemPorts(int atLeast) {
  return ListPorts(FindPresentPorts("/"), ProcessEnvironment, atLeast);
}

}  // namespace kv
