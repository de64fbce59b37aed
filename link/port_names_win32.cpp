// On Windows COMn is the device \\.\COMn (the only form that also opens COM10 and above).
#include "link/port_names.h"

namespace kv {

std::vector<PresentPort> FindPresentPorts(const std::string& /*root*/) {
  return {};
}

std::string DefaultPortDevice(int n, const std::vector<PresentPort>& /*present*/) {
  return "\\\\.\\COM" + std::to_string(n);
}

}  // namespace kv
