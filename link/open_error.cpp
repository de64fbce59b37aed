#include "link/port.h"

namespace kv {

std::string DescribeOpenError(const OpenError& error) {
  std::string line = "cannot open " + error.device;
  if (!error.detail.empty()) line += ": " + error.detail;
  return line;
}

}  // namespace kv
