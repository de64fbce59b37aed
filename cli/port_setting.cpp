#include "cli/port_setting.h"

#include <fstream>

namespace kv {

int PortFromSetting(std::optional<unsigned char> firstByte) {
  return firstByte ? SettledPortNumber(*firstByte) : 1;
}

std::optional<unsigned char> ReadFirstByte(const std::string& path) {
  // An input stream opens an existing file only; a missing one stays missing.
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  char byte = 0;
  if (!file.get(byte)) return std::nullopt;
  return static_cast<unsigned char>(byte);
}

int ReadPortSettingReadOnly(const std::string& path) {
  return PortFromSetting(ReadFirstByte(path));
}

}  // namespace kv
