// The device's 512 KiB flash as its resident loader sees it: eleven sectors, each erased by its own
// one-byte code, and 256-byte pages that programming can only move from 1 bits to 0 bits.
//
// Deliberately written apart from the host's image and sector code, so that the simulator checks the
// host instead of agreeing with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kv::sim {

inline constexpr size_t FlashSize = 524288;
inline constexpr size_t FlashPageSize = 256;
inline constexpr uint16_t FlashPageMask = 0x7FF;  // the device keeps 11 bits of a page number
inline constexpr uint8_t Erased = 0xFF;

struct FlashSector {
  uint8_t eraseCode;  // start address in units of 8 KiB
  uint32_t start;     // byte address
  uint32_t size;      // bytes
};

// The device's sector layout, in address order; together the rows cover the whole flash once.
inline constexpr std::array<FlashSector, 11> FlashSectors{{
    {0, 0x00000, 0x10000},
    {8, 0x10000, 0x10000},
    {16, 0x20000, 0x10000},
    {24, 0x30000, 0x10000},
    {32, 0x40000, 0x10000},
    {40, 0x50000, 0x10000},
    {48, 0x60000, 0x10000},
    {56, 0x70000, 0x8000},
    {60, 0x78000, 0x2000},
    {61, 0x7A000, 0x2000},
    {62, 0x7C000, 0x4000},
}};

// The sector that an erase code names, if any.
std::optional<FlashSector> SectorForCode(uint8_t code);

class Flash {
 public:
  Flash() { bytes_.fill(Erased); }

  // Sets the sector to 0xFF. False (and nothing changed) for a code that names no sector.
  bool EraseSector(uint8_t code);
  // ANDs the data into page (page & 0x7FF). False when some bit would have had to go from 0 to 1;
  // the AND is stored all the same, as real flash cells would end up.
  bool ProgramPage(uint16_t page, const uint8_t* data);

  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }
  uint8_t at(uint32_t address) const { return bytes_[address % FlashSize]; }

 private:
  std::array<uint8_t, FlashSize> bytes_;
};

}  // namespace kv::sim
