#include <cstdlib>

#include "link/port.h"

namespace kv {

std::string PortDeviceName(int n) {
  // The same override as on POSIX, so scripts can point COMn at any device on either platform.
  const std::string variable = "LD6193_COM" + std::to_string(n);
  if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') return path;
  return "\\\\.\\COM" + std::to_string(n);
}

std::string DescribePortNumber(int n) {
  return "COM" + std::to_string(n) + " \u2014 " + PortDeviceName(n);
}

}  // namespace kv
