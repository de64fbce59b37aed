#include "image/loaded_file.h"

namespace kv {

std::string UpperCasePath(std::string_view path) {
  std::string upper(path);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string LoadedFileNameFor(std::string_view path) {
  std::string_view name = path;
  if (name.size() >= 2 && name[1] == ':') name.remove_prefix(2);  // drive
  if (const auto slash = name.find_last_of("/\\"); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (const auto dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  return UpperCasePath(name);
}

}  // namespace kv
