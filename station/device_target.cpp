#include "station/device_target.h"

#include <algorithm>

#include "line/port.h"

namespace kv {

DeviceTarget TargetForPort(int n) {
  return {PortName(n), n, {}};
}

DeviceTarget TargetForDevice(const std::string& path) {
  return {path, 0, path};
}

bool AnyByNumber(const std::vector<DeviceTarget>& targets) {
  return std::any_of(targets.begin(), targets.end(),
                     [](const DeviceTarget& target) { return !target.ByPath(); });
}

}  // namespace kv
