#include "base/system_error.h"

#include <cctype>

namespace kv {

std::string LowerFirst(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string SystemReason(unsigned long error) {
  return LowerFirst(SystemErrorText(error));
}

}  // namespace kv
