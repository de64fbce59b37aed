#include "sim/flash.h"

#include <cstring>

namespace kv::sim {

std::optional<FlashSector> SectorForCode(uint8_t code) {
  for (const FlashSector& s : FlashSectors) {
    if (s.eraseCode == code) return s;
  }
  return std::nullopt;
}

bool Flash::EraseSector(uint8_t code) {
  const std::optional<FlashSector> sector = SectorForCode(code);
  if (!sector) return false;
  std::memset(bytes_.data() + sector->start, Erased, sector->size);
  return true;
}

bool Flash::ProgramPage(uint16_t page, const uint8_t* data) {
  uint8_t* cell = bytes_.data() + static_cast<size_t>(page & FlashPageMask) * FlashPageSize;
  bool clean = true;
  for (size_t i = 0; i < FlashPageSize; ++i) {
    const uint8_t stored = cell[i] & data[i];
    if (stored != data[i]) clean = false;
    cell[i] = stored;
  }
  return clean;
}

}  // namespace kv::sim
