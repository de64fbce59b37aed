// Intel HEX text for the flasher's tests, written straight from target addresses, and the flash a
// device must hold after receiving such a file: computed here from first principles (sector table,
// identification block layout, checksum over the kind's sectors), not with the code under test.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kv::test {

inline constexpr uint32_t DeviceFlashSize = 0x80000;

// Target address -> byte.
using FileData = std::map<uint32_t, uint8_t>;

// Data records of up to 16 bytes, a type 02 record whenever the 64 KiB segment changes, the end record.
inline std::string HexText(const FileData& data) {
  std::string text;
  auto record = [&text](uint8_t type, uint16_t address, const std::vector<uint8_t>& bytes) {
    uint8_t sum = static_cast<uint8_t>(bytes.size() + (address >> 8) + (address & 0xFF) + type);
    char field[16];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(bytes.size()), address, type);
    text += field;
    for (uint8_t b : bytes) {
      std::snprintf(field, sizeof field, "%02X", b);
      text += field;
      sum = static_cast<uint8_t>(sum + b);
    }
    std::snprintf(field, sizeof field, "%02X\r\n", static_cast<uint8_t>(-sum));
    text += field;
  };
  int segment = -1;
  auto it = data.begin();
  while (it != data.end()) {
    const uint32_t start = it->first;
    if (static_cast<int>(start >> 16) != segment) {
      segment = static_cast<int>(start >> 16);
      record(0x02, 0, {static_cast<uint8_t>(segment << 4), 0x00});
    }
    std::vector<uint8_t> bytes;
    uint32_t next = start;
    while (it != data.end() && it->first == next && bytes.size() < 16 && (next >> 16) == (start >> 16)) {
      bytes.push_back(it->second);
      ++it;
      ++next;
    }
    record(0x00, static_cast<uint16_t>(start & 0xFFFF), bytes);
  }
  record(0x01, 0, {});
  return text;
}

// `count` bytes from `address` on, a recognisable pattern.
inline void AddBytes(FileData& data, uint32_t address, uint32_t count, uint8_t seed = 0) {
  for (uint32_t i = 0; i < count; ++i) data[address + i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
}

struct ExpectedKind {
  uint32_t blockAddress;                               // first byte of the first page
  std::vector<std::pair<uint32_t, uint32_t>> sectors;  // erased device ranges [first, last]
};

inline ExpectedKind Sector0Kind() {
  return {0x00000, {{0x00000, 0x0FFFF}}};
}
inline ExpectedKind Sector1Kind() {
  return {0x10000, {{0x10000, 0x1FFFF}}};
}
inline ExpectedKind MultiSectorKind() {
  return {
      0x20000,
      {{0x20000, 0x2FFFF}, {0x30000, 0x3FFFF}, {0x40000, 0x4FFFF}, {0x50000, 0x5FFFF}, {0x7C000, 0x7FFFF}}};
}
inline ExpectedKind Sector9Kind() {
  return {0x7A000, {{0x7A000, 0x7BFFF}}};
}

struct FileStamp {
  std::string name;  // LoadedFileName, already upper case
  int day, month, year, hour, minute, second;
};

// The device's flash after a successful download of `data` into a device that started all 0xFF.
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
  for (const auto& [first, last] : kind.sectors) {
    for (uint32_t address = first; address <= last; ++address)
      sum = static_cast<uint8_t>(sum + flash[address]);
  }
  block[63] = static_cast<uint8_t>(-sum);
  return flash;
}

}  // namespace kv::test
