// HEX files for the window tests: one data record per page, each after its own segment record, so a
// case names the pages it wants used. Records come from the shared writer; lines end in LF.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/hex_text.h"

namespace kv::test {

inline std::string SegmentRecord(uint16_t segment) {
  return HexRecord(0x02, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment & 0xFF)}) +
         "\n";
}

inline const std::string EndRecord = ":00000001FF\n";

// One 16-byte data record at the start of each listed page (page numbers 0 to 2047).
inline std::string PagesFile(std::initializer_list<uint16_t> pages, bool withEnd = true) {
  std::string text;
  for (uint16_t page : pages) {
    text += SegmentRecord(static_cast<uint16_t>((page >> 8) << 12));
    std::vector<uint8_t> data(16);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(page + i);
    text += HexRecord(0x00, static_cast<uint16_t>((page & 0xFF) << 8), data) + "\n";
  }
  return withEnd ? text + EndRecord : text;
}

}  // namespace kv::test
