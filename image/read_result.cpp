#include <array>
#include <string>

#include "image/hex_reader.h"

namespace kv {
namespace {

// One row per result, in code order.
constexpr std::array<std::string_view, 5> ResultTexts{
    "Loaded file: ",  // followed by the upper-cased path
    "File not found", "Invalid HEX format", "Illegal segment alignment", "Unsupported record type",
};

}  // namespace

std::string_view ReadResultText(HexReadResult result) {
  const auto code = static_cast<size_t>(result);
  // An unknown code reads as a file that could not be understood.
  return code < ResultTexts.size() ? ResultTexts[code] : ResultTexts[InvalidHexFormat];
}

std::string ReadDetailText(const HexReadDetail& detail) {
  if (detail.line == 0) return detail.text;
  std::string where = "line " + std::to_string(detail.line);
  return detail.text.empty() ? where : where + ": " + detail.text;
}

}  // namespace kv
