// A list on one line of text, as the programs write lists of ports and numbers: "COM1, COM2, COM5".
#pragma once

#include <string>

namespace kv {

// The text of each item (`textOf(item)`), in order, with ", " between; "" for no items.
template <typename Items, typename TextOf>
std::string Joined(const Items& items, TextOf textOf) {
  std::string text;
  bool first = true;
  for (const auto& item : items) {
    if (!first) text += ", ";
    first = false;
    text += textOf(item);
  }
  return text;
}

// Texts as they are, with ", " between.
template <typename Items>
std::string Joined(const Items& texts) {
  return Joined(
      texts, [](const auto& text) -> const auto& { return text; });
}

}  // namespace kv
