#include "download/ident_block.h"

namespace kv {

namespace {

// Offsets of the fields within the block.
constexpr uint32_t MarkerOffset = 38;  // 0xAA 0x55
constexpr uint32_t NameOffset = 40;
constexpr uint32_t NameSize = 8;
constexpr uint32_t TimeOffset = 48;  // DDMMYYYYhhmmss
constexpr uint32_t TerminatorOffset = 62;

// Every byte of every sector that the kind erases, as the image holds it (bank: offsets).
// Sectors 0, 1 and 2 all live in bank 0; a file that is sent occupies only one of them.
constexpr std::array<CoveredRange, 1> Sector0Coverage{{{0, 0x0000, 0xFFFF}}};
constexpr std::array<CoveredRange, 1> Sector1Coverage{{{0, 0x0000, 0xFFFF}}};
constexpr std::array<CoveredRange, 5> MultiSectorCoverage{{
    {0, 0x0000, 0xFFFF},  // sector 2
    {1, 0x0000, 0xFFFF},  // sector 3
    {2, 0x0000, 0xFFFF},  // sector 4
    {3, 0x0000, 0xFFFF},  // sector 5
    {4, 0xC000, 0xFFFF},  // sector 10
}};
constexpr std::array<CoveredRange, 1> Sector9Coverage{{{4, 0xA000, 0xBFFF}}};

struct KindCoverage {
  FileKind kind;
  std::span<const CoveredRange> ranges;
};
constexpr std::array<KindCoverage, 4> Coverages{{
    {FileKind::Sector0, Sector0Coverage},
    {FileKind::Sector1, Sector1Coverage},
    {FileKind::MultiSector, MultiSectorCoverage},
    {FileKind::Sector9, Sector9Coverage},
}};

// Writes the value as `digits` ASCII decimal digits, most significant first. A value too large for
// its field (a year above 9999) keeps its low digits instead of spilling into the next field.
void WriteDigits(MemoryImage& image, uint32_t at, uint32_t value, uint32_t digits) {
  for (uint32_t i = digits; i-- > 0;) {
    image.SetImageByte(at + i, static_cast<uint8_t>('0' + value % 10));
    value /= 10;
  }
}

uint8_t SumOfCoverage(const MemoryImage& image, FileKind kind) {
  uint8_t sum = 0;
  for (const CoveredRange& range : ChecksumCoverage(kind)) {
    const uint32_t base = range.bank * BankSize;
    for (uint32_t offset = range.firstOffset; offset <= range.lastOffset; ++offset) {
      sum = static_cast<uint8_t>(sum + image.ImageByte(base + offset));
    }
  }
  return sum;
}

}  // namespace

std::span<const CoveredRange> ChecksumCoverage(FileKind kind) {
  for (const KindCoverage& row : Coverages) {
    if (row.kind == kind) return row.ranges;
  }
  return {};
}

void StampIdentificationBlock(MemoryImage& image, uint32_t blockOffset, std::string_view loadedFileName,
                              const SystemTime& loadedFileTime) {
  image.SetImageByte(blockOffset + MarkerOffset, 0xAA);
  image.SetImageByte(blockOffset + MarkerOffset + 1, 0x55);

  // The name's bytes go in as they are; a name of 8 or more characters has no terminating 0x00.
  for (uint32_t i = 0; i < NameSize; ++i) {
    const uint8_t c = i < loadedFileName.size() ? static_cast<uint8_t>(loadedFileName[i]) : 0x00;
    image.SetImageByte(blockOffset + NameOffset + i, c);
  }

  const uint32_t time = blockOffset + TimeOffset;
  WriteDigits(image, time + 0, loadedFileTime.day, 2);
  WriteDigits(image, time + 2, loadedFileTime.month, 2);
  WriteDigits(image, time + 4, loadedFileTime.year, 4);
  WriteDigits(image, time + 8, loadedFileTime.hour, 2);
  WriteDigits(image, time + 10, loadedFileTime.minute, 2);
  WriteDigits(image, time + 12, loadedFileTime.second, 2);

  image.SetImageByte(blockOffset + TerminatorOffset, 0x00);
  image.SetImageByte(blockOffset + IdentificationChecksumByte, 0x00);
}

void SealIdentificationBlock(MemoryImage& image, FileKind kind, std::string_view loadedFileName,
                             const SystemTime& loadedFileTime) {
  const SectorPlan* plan = PlanFor(kind);
  if (plan == nullptr) return;
  const uint32_t blockOffset = MemoryImage::PageOffset(plan->firstPage);
  // Stamping clears byte 63, so an earlier checksum never enters the new sum.
  StampIdentificationBlock(image, blockOffset, loadedFileName, loadedFileTime);
  const uint8_t sum = SumOfCoverage(image, kind);
  image.SetImageByte(blockOffset + IdentificationChecksumByte, static_cast<uint8_t>(0x100 - sum));
}

}  // namespace kv
