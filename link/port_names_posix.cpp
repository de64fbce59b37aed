// The serial lines of a Linux machine, found through /dev/serial/by-id and /sys/class/tty.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "link/port_names.h"

namespace kv {
namespace fs = std::filesystem;
namespace {

// The first line of a small sysfs attribute, or "" when it cannot be read.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// "FTDI FT232R USB UART": the manufacturer and product of the USB device above the tty, found by
// walking up from its sysfs device folder to the first one that carries them.
std::string UsbDescription(const fs::path& sys, const std::string& name) {
  std::error_code error;
  fs::path folder = fs::canonical(sys / "class/tty" / name / "device", error);
  if (error) return {};
  const fs::path top = fs::weakly_canonical(sys, error);
  for (; folder.has_relative_path() && folder != top; folder = folder.parent_path()) {
    const std::string product = ReadAttribute(folder / "product");
    if (product.empty()) continue;
    const std::string maker = ReadAttribute(folder / "manufacturer");
    return maker.empty() ? product : maker + " " + product;
  }
  return {};
}

bool IsAdapterName(const std::string& name) {
  return name.starts_with("ttyUSB") || name.starts_with("ttyACM");
}

// ttyS2 before ttyS10: by prefix, then by number.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
  const size_t da = digits(a);
  const size_t db = digits(b);
  if (da == std::string::npos || db == std::string::npos || a.compare(0, da, b, 0, db) != 0) return a < b;
  const std::string na = a.substr(da);
  const std::string nb = b.substr(db);
  return na.size() != nb.size() ? na.size() < nb.size() : na < nb;
}

std::vector<std::string> SortedNames(const fs::path& folder, bool (*keep)(const fs::path&)) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (keep(entry.path())) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

// The tty each /dev/serial/by-id link points at, in the links' name order; these names do not change
// while the same adapters are plugged in, whatever order the kernel numbered them in.
std::vector<std::pair<std::string, std::string>> AdaptersById(const fs::path& dev) {
  std::vector<std::pair<std::string, std::string>> adapters;
  std::vector<std::string> links;
  std::error_code listError;
  for (const auto& entry : fs::directory_iterator(dev / "serial/by-id", listError)) {
    links.push_back(entry.path().filename().string());
  }
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    std::error_code error;
    const fs::path target = fs::read_symlink(dev / "serial/by-id" / link, error);
    if (!error) adapters.emplace_back(target.filename().string(), link);
  }
  return adapters;
}

// A ttyS line exists only when its UART type is known: the kernel makes ttyS0 to ttyS3 (or more)
// whether or not there is a UART behind them, with type 0 ("unknown").
bool IsRealUart(const fs::path& sysTty) {
  const std::string type = ReadAttribute(sysTty / "type");
  return !type.empty() && type != "0";
}

}  // namespace

std::vector<PresentPort> FindPresentPorts(const std::string& root) {
  const fs::path dev = fs::path(root) / "dev";
  const fs::path sys = fs::path(root) / "sys";
  std::vector<PresentPort> ports;
  std::set<std::string> taken;
  const auto add = [&](const std::string& name, std::string fallback) {
    if (!taken.insert(name).second) return;
    std::string description = UsbDescription(sys, name);
    ports.push_back(
        {(dev / name).string(), description.empty() ? std::move(fallback) : std::move(description)});
  };
  for (const auto& [name, link] : AdaptersById(dev)) add(name, link);
  const fs::path ttys = sys / "class/tty";
  const auto adapter = [](const fs::path& p) { return IsAdapterName(p.filename().string()); };
  for (const std::string& name : SortedNames(ttys, adapter)) add(name, {});
  const auto uart = [](const fs::path& p) {
    return p.filename().string().starts_with("ttyS") && IsRealUart(p);
  };
  for (const std::string& name : SortedNames(ttys, uart)) add(name, "on-board serial port");
  return ports;
}

std::string DefaultPortDevice(int n, const std::vector<PresentPort>& present) {
  if (n < 1 || static_cast<size_t>(n) > present.size()) return {};
  return present[n - 1].device;
}

}  // namespace kv
