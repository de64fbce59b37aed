#include <cstring>

#include "base/system_error.h"

namespace kv {

std::string SystemErrorText(unsigned long error) {
  const char* text = std::strerror(static_cast<int>(error));
  return text != nullptr && *text != '\0' ? text : "system error " + std::to_string(error);
}

}  // namespace kv
