// One device to flash, as a run names it: COMn by number (resolved as the window resolves it), a
// device path, or a network URL (rfc2217://HOST:PORT, socket://HOST:PORT).
#pragma once

#include <string>
#include <vector>

namespace kv {

struct DeviceTarget {
  std::string name;        // shown in front of its lines: "COM3", the path or the URL
  int portNumber = 0;      // for a target by number
  std::string devicePath;  // for a target by path or URL; empty for one by number

  bool ByPath() const { return !devicePath.empty(); }
  friend bool operator==(const DeviceTarget&, const DeviceTarget&) = default;
};

DeviceTarget TargetForPort(int n);
DeviceTarget TargetForDevice(const std::string& path);
// Whether a target is given by number: then a run must look at the ports to open it.
bool AnyByNumber(const std::vector<DeviceTarget>& targets);

}  // namespace kv
