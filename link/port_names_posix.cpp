#include <cstdlib>

#include "link/port.h"

namespace kv {

std::string PortDeviceName(int n) {
  const std::string variable = "LD6193_COM" + std::to_string(n);
  if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') return path;
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::string DescribePortNumber(int n) {
  return "COM" + std::to_string(n) + " \u2014 " + PortDeviceName(n);
}

}  // namespace kv
