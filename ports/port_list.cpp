// Port numbers to devices: the environment override first, then the numbered ports of one look.
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "line/port.h"
#include "ports/port_names.h"

namespace kv {
namespace {

std::string VariableFor(int n) {
  return "LD6193_COM" + std::to_string(n);
}

const char* ProcessEnvironment(const char* name) {
  return std::getenv(name);
}

const PresentPort* PresentWith(int n, const PortSurvey& survey) {
  const auto found = std::find_if(survey.present.begin(), survey.present.end(),
                                  [n](const PresentPort& port) { return port.number == n; });
  return found == survey.present.end() ? nullptr : &*found;
}

const KeptNumber* KeptWith(int n, const PortSurvey& survey) {
  const auto found = std::find_if(survey.absent.begin(), survey.absent.end(),
                                  [n](const KeptNumber& kept) { return kept.number == n; });
  return found == survey.absent.end() ? nullptr : &*found;
}

}  // namespace

PortEntry ResolvePort(int n, const PortSurvey& survey, const EnvironmentLookup& environment) {
  PortEntry entry;
  entry.number = n;
  if (const char* path = environment(VariableFor(n).c_str()); path != nullptr && *path != '\0') {
    entry.device = path;
    entry.fromEnvironment = true;
  } else if (const PresentPort* port = PresentWith(n, survey)) {
    entry.device = port->device;
    entry.description = port->description;
    entry.namedByNumber = port->namedByNumber;
  } else if (const KeptNumber* kept = KeptWith(n, survey)) {
    entry.keptFor = kept->key;  // never another board's device
  } else {
    entry.device = DefaultPortDevice(n);
  }
  return entry;
}

std::vector<PortEntry> ListPorts(const PortSurvey& survey, const EnvironmentLookup& environment,
                                 int atLeast) {
  std::vector<PortEntry> entries;
  for (int n = 1; n <= HighestPortNumber; ++n) {
    PortEntry entry = ResolvePort(n, survey, environment);
    if (n <= atLeast || entry.fromEnvironment || !entry.keptFor.empty() || PresentWith(n, survey)) {
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

std::string DescribePortEntry(const PortEntry& entry) {
  std::string text = PortName(entry.number) + " \u2014 ";
  if (!entry.keptFor.empty()) return text + "not present, kept for " + entry.keptFor;
  if (entry.device.empty()) return text + "not present";
  if (entry.fromEnvironment) return text + entry.device + " (" + VariableFor(entry.number) + ")";
  if (entry.namedByNumber && !entry.description.empty()) return text + entry.description;
  text += entry.device;
  if (!entry.description.empty()) text += ", " + entry.description;
  return text;
}

std::optional<int> ParsePortName(std::string_view name) {
  constexpr std::string_view Com = "com";
  if (name.size() <= Com.size()) return std::nullopt;
  for (size_t i = 0; i < Com.size(); ++i) {
    if ((name[i] | 0x20) != Com[i]) return std::nullopt;
  }
  const std::string_view digits = name.substr(Com.size());
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  int number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc()) return std::nullopt;  // too large for any port
  return number;
}

PortLook::PortLook(PortSurvey survey, EnvironmentLookup environment) : survey_(std::move(survey)) {
  if (environment) environment_ = std::move(environment);
}

PortDirectory SystemPortDirectory() {
  // Tests move the root to a fake /dev and /sys tree, where simulators come and go.
  const char* root = ProcessEnvironment("KV_TEST_PORT_ROOT");
  return PortDirectory(
      {root != nullptr && *root != '\0' ? root : "/", DefaultNumbersFile(ProcessEnvironment)},
      ProcessEnvironment);
}

}  // namespace kv
