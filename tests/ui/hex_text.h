// Intel HEX text for the window tests, written record by record with correct checksums.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace kv::test {

inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + (address & 0xFF) + type);
  char field[16];
  std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
  std::string record = field;
  for (uint8_t byte : data) {
    std::snprintf(field, sizeof field, "%02X", byte);
    record += field;
    sum = static_cast<uint8_t>(sum + byte);
  }
  std::snprintf(field, sizeof field, "%02X\n", static_cast<uint8_t>(-sum) & 0xFF);
  return record + field;
}

inline std::string SegmentRecord(uint16_t segment) {
  return HexRecord(0x02, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment & 0xFF)});
}

inline const std::string EndRecord = ":00000001FF\n";

// One 16-byte data record at the start of each listed page (page numbers 0 to 2047).
inline std::string PagesFile(std::initializer_list<uint16_t> pages, bool withEnd = true) {
  std::string text;
  for (uint16_t page : pages) {
    text += SegmentRecord(static_cast<uint16_t>((page >> 8) << 12));
    std::vector<uint8_t> data(16);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(page + i);
    text += HexRecord(0x00, static_cast<uint16_t>((page & 0xFF) << 8), data);
  }
  return withEnd ? text + EndRecord : text;
}

}  // namespace kv::test
