// Intel HEX text for the tests, written straight from target addresses, and the flash a device must
// hold after receiving such a file: worked out here from first principles (erased flash, the sector
// table, the identification block layout, a checksum over the kind's sectors), never with the code
// under test, so a fault there cannot hide in the expectation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kv::test {

inline constexpr uint32_t DeviceFlashSize = 0x80000;

// Target address -> byte.
using FileData = std::map<uint32_t, uint8_t>;

// One record with its checksum, upper-case digits, no line end.
inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> fields{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address), type};
  fields.insert(fields.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : fields) sum = static_cast<uint8_t>(sum + b);
  fields.push_back(static_cast<uint8_t>(-sum));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : fields) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

// A whole file, CR LF line ends: a type 02 record whenever the 64 KiB segment changes, data records of
// up to 16 contiguous bytes that never cross a segment, and the end record.
inline std::string HexText(const FileData& data) {
  std::string text;
  int segment = -1;
  auto it = data.begin();
  while (it != data.end()) {
    const uint32_t start = it->first;
    if (static_cast<int>(start >> 16) != segment) {
      segment = static_cast<int>(start >> 16);
      text += HexRecord(0x02, 0, {static_cast<uint8_t>(segment << 4), 0x00}) + "\r\n";
    }
    std::vector<uint8_t> bytes;
    uint32_t next = start;
    while (it != data.end() && it->first == next && bytes.size() < 16 && (next >> 16) == (start >> 16)) {
      bytes.push_back(it->second);
      ++it;
      ++next;
    }
    text += HexRecord(0x00, static_cast<uint16_t>(start & 0xFFFF), bytes) + "\r\n";
  }
  return text + HexRecord(0x01, 0, {}) + "\r\n";
}

// `count` bytes from `address` on, a recognisable pattern.
inline void AddBytes(FileData& data, uint32_t address, uint32_t count, uint8_t seed = 0) {
  for (uint32_t i = 0; i < count; ++i) data[address + i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
}

struct AddressRange {
  uint32_t first;
  uint32_t end;  // exclusive
};

struct ExpectedKind {
  uint32_t blockAddress;              // first byte of the first page
  std::vector<AddressRange> sectors;  // the device ranges the kind erases
};

inline ExpectedKind Sector0Kind() {
  return {0x00000, {{0x00000, 0x10000}}};
}
inline ExpectedKind Sector1Kind() {
  return {0x10000, {{0x10000, 0x20000}}};
}
inline ExpectedKind MultiSectorKind() {
  return {
      0x20000,
      {{0x20000, 0x30000}, {0x30000, 0x40000}, {0x40000, 0x50000}, {0x50000, 0x60000}, {0x7C000, 0x80000}}};
}
inline ExpectedKind Sector9Kind() {
  return {0x7A000, {{0x7A000, 0x7C000}}};
}

struct FileStamp {
  std::string name;  // the loaded file's name as the block holds it: upper case, at most 8 characters
  int day, month, year, hour, minute, second;
};

// The device's flash after a successful download of `data` into a device that started all 0xFF: the
// file's bytes, and at the first page the identification block, whose last byte balances the sum of
// the kind's sectors to zero.
inline std::vector<uint8_t> ExpectedFlash(const FileData& data, const ExpectedKind& kind,
                                          const FileStamp& stamp) {
  std::vector<uint8_t> flash(DeviceFlashSize, 0xFF);
  for (const auto& [address, value] : data) flash[address] = value;
  uint8_t* block = &flash[kind.blockAddress];
  block[38] = 0xAA;
  block[39] = 0x55;
  for (size_t i = 0; i < 8; ++i)
    block[40 + i] = i < stamp.name.size() ? static_cast<uint8_t>(stamp.name[i]) : 0;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%02d%02d%04d%02d%02d%02d", stamp.day, stamp.month, stamp.year,
                stamp.hour, stamp.minute, stamp.second);
  for (size_t i = 0; i < 14; ++i) block[48 + i] = static_cast<uint8_t>(digits[i]);
  block[62] = 0x00;
  block[63] = 0x00;
  uint8_t sum = 0;
  for (const AddressRange& sector : kind.sectors) {
    for (uint32_t address = sector.first; address < sector.end; ++address)
      sum = static_cast<uint8_t>(sum + flash[address]);
  }
  block[63] = static_cast<uint8_t>(-sum);
  return flash;
}

}  // namespace kv::test
