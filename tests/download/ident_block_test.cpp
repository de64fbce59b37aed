#include "download/ident_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv {
namespace {

// The device's own view, written out here rather than taken from the code under test: where each
// sector lies in the 20-bit address space, and which image bank holds each segment.
struct DeviceSector {
  int sector;
  uint32_t firstAddress;
  uint32_t size;
};
constexpr DeviceSector DeviceSectors[] = {
    {0, 0x00000, 0x10000}, {1, 0x10000, 0x10000}, {2, 0x20000, 0x10000}, {3, 0x30000, 0x10000},
    {4, 0x40000, 0x10000}, {5, 0x50000, 0x10000}, {9, 0x7A000, 0x2000},  {10, 0x7C000, 0x4000},
};
constexpr uint32_t BankOfSegment[8] = {0, 0, 0, 1, 2, 3, 0, 4};

uint32_t ImageOffsetOfAddress(uint32_t address) {
  return BankOfSegment[address >> 16] * 0x10000 + (address & 0xFFFF);
}

// 8-bit sum of every byte of the given sectors, walked by device address.
uint8_t DeviceSum(const MemoryImage& image, const std::vector<int>& sectors) {
  uint8_t sum = 0;
  for (int sector : sectors) {
    for (const DeviceSector& s : DeviceSectors) {
      if (s.sector != sector) continue;
      for (uint32_t address = s.firstAddress; address < s.firstAddress + s.size; ++address) {
        sum = static_cast<uint8_t>(sum + image.ImageByte(ImageOffsetOfAddress(address)));
      }
    }
  }
  return sum;
}

// Stores bytes as the HEX reader would: by device address, marking their pages.
void StoreAt(MemoryImage& image, uint32_t address, const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) {
    image.StoreByte(address >> 16, address & 0xFFFF, b);
    ++address;
  }
}

std::vector<uint8_t> Noise(uint32_t seed, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

std::vector<uint8_t> BytesAt(const MemoryImage& image, uint32_t offset, uint32_t count) {
  std::vector<uint8_t> bytes;
  for (uint32_t i = 0; i < count; ++i) bytes.push_back(image.ImageByte(offset + i));
  return bytes;
}

std::vector<uint8_t> Chars(std::string_view text) {
  return {text.begin(), text.end()};
}

const SystemTime March5th2005{2005, 3, 6, 5, 9, 7, 3, 123};  // 05.03.2005 09:07:03

struct KindCase {
  FileKind kind;
  uint32_t blockAddress;      // device address of the block
  uint32_t blockImageOffset;  // where the image holds it
  std::vector<int> sectors;   // every sector the kind erases
  uint32_t dataAddress;       // somewhere in the kind's sectors, away from the first page
};
const std::vector<KindCase> Kinds = {
    {FileKind::Sector0, 0x00000, 0x00000, {0}, 0x03000},
    {FileKind::Sector1, 0x10000, 0x00000, {1}, 0x1F000},
    {FileKind::MultiSector, 0x20000, 0x00000, {2, 3, 4, 5, 10}, 0x7E000},
    {FileKind::Sector9, 0x7A000, 0x4A000, {9}, 0x7B800},
};

TEST(StampIdentificationBlock, WritesMarkerNameTimeAndChecksumByte) {
  MemoryImage image;
  StoreAt(image, 0x00000, std::vector<uint8_t>(256, 0x11));
  SealIdentificationBlock(image, FileKind::Sector0, LoadedFileNameFor("C:\\fw\\abcd.hex"), March5th2005);

  std::vector<uint8_t> expected = {0xAA, 0x55, 'A', 'B', 'C', 'D', 0, 0, 0, 0};
  for (char c : std::string_view("05032005090703")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0x00);
  // 230 bytes of 0x11, the block's own bytes, and 0xFF elsewhere (255 * 256 * k is 0 mod 256).
  expected.push_back(0xEF);
  EXPECT_EQ(BytesAt(image, 38, 26), expected);
  EXPECT_EQ(BytesAt(image, 0, 38), std::vector<uint8_t>(38, 0x11));
  EXPECT_EQ(BytesAt(image, 64, 192), std::vector<uint8_t>(192, 0x11));
}

TEST(StampIdentificationBlock, NameFieldIsTheFirstEightCharactersPaddedWithZeros) {
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
      {"abcd.hex", {'A', 'B', 'C', 'D', 0, 0, 0, 0}},
      {"/home/tech/exactly8.hex", {'E', 'X', 'A', 'C', 'T', 'L', 'Y', '8'}},
      {"C:\\FW\\longfirmware_v2.hex", {'L', 'O', 'N', 'G', 'F', 'I', 'R', 'M'}},
      {"my.app.v2.hex", {'M', 'Y', '.', 'A', 'P', 'P', '.', 'V'}},
      {"a.b.c.hex", {'A', '.', 'B', '.', 'C', 0, 0, 0}},
      {"noext", {'N', 'O', 'E', 'X', 'T', 0, 0, 0}},
      {"", {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& [path, name] : cases) {
    MemoryImage image;
    StampIdentificationBlock(image, 0x100, LoadedFileNameFor(path), March5th2005);
    EXPECT_EQ(BytesAt(image, 0x100 + 40, 8), name) << path;
    EXPECT_EQ(image.ImageByte(0x100 + 48), '0') << path << ": the name ran into the date";
  }
}

TEST(StampIdentificationBlock, NameBytesAreTakenAsTheyAre) {
  MemoryImage image;
  StampIdentificationBlock(image, 0, "\xC8\x41\x01", March5th2005);
  EXPECT_EQ(BytesAt(image, 40, 8), (std::vector<uint8_t>{0xC8, 0x41, 0x01, 0, 0, 0, 0, 0}));
}

TEST(StampIdentificationBlock, TimeIsWrittenAsFourteenDigitsWhateverTheFieldValues) {
  const std::vector<std::pair<SystemTime, std::string>> cases = {
      {March5th2005, "05032005090703"},
      {SystemTime{}, "00000000000000"},  // before any file was opened
      {{9999, 12, 5, 31, 23, 59, 59, 999}, "31129999235959"},
      {{1601, 1, 1, 1, 0, 0, 0, 0}, "01011601000000"},
      {{12345, 100, 0, 65535, 99, 100, 7, 0}, "35002345990007"},  // out of range: low digits
      {{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}, "35355535353535"},
  };
  for (const auto& [time, digits] : cases) {
    MemoryImage image;
    StampIdentificationBlock(image, 0x200, "X", time);
    EXPECT_EQ(BytesAt(image, 0x200 + 48, 14), Chars(digits)) << digits;
    EXPECT_EQ(image.ImageByte(0x200 + 62), 0x00) << digits;
    EXPECT_EQ(image.ImageByte(0x200 + 64), 0xFF) << digits << ": wrote past the block";
  }
}

TEST(StampIdentificationBlock, OverwritesTheFilesOwnBytes38To63Only) {
  MemoryImage image;
  StoreAt(image, 0x7A000, std::vector<uint8_t>(64, 0x00));
  StampIdentificationBlock(image, 0x4A000, "", SystemTime{});
  EXPECT_EQ(BytesAt(image, 0x4A000, 38), std::vector<uint8_t>(38, 0x00));
  EXPECT_EQ(image.ImageByte(0x4A000 + 38), 0xAA);
  EXPECT_EQ(image.ImageByte(0x4A000 + 39), 0x55);
  EXPECT_EQ(image.ImageByte(0x4A000 + 48), '0');
  EXPECT_EQ(image.ImageByte(0x4A000 + 63), 0x00);
}

// For every kind, with and without file data in the first page: the block lands at the first byte of
// the kind's first page, bytes 0 to 37 keep what the image held, nothing else outside bytes 38..63
// changes, and the kind's sectors, walked by device address, sum to 0.
TEST(SealIdentificationBlock, CoveredSectorsSumToZeroAtEveryKindsBlock) {
  for (const KindCase& k : Kinds) {
    for (bool firstPageHasData : {false, true}) {
      const std::string label = std::string(FileKindName(k.kind)) +
                                (firstPageHasData ? " with" : " without") + " data in the first page";
      MemoryImage image;
      StoreAt(image, k.dataAddress, Noise(k.dataAddress, 700));
      if (firstPageHasData) StoreAt(image, k.blockAddress, Noise(7, 256));
      const std::vector<uint8_t> before = BytesAt(image, 0, ImageSize);

      SealIdentificationBlock(image, k.kind, "FIRMWARE", March5th2005);

      EXPECT_EQ(DeviceSum(image, k.sectors), 0) << label;
      EXPECT_EQ(image.ImageByte(k.blockImageOffset + 38), 0xAA) << label;
      EXPECT_EQ(image.ImageByte(k.blockImageOffset + 39), 0x55) << label;
      EXPECT_EQ(BytesAt(image, k.blockImageOffset + 40, 8), Chars("FIRMWARE")) << label;
      const std::vector<uint8_t> after = BytesAt(image, 0, ImageSize);
      for (uint32_t offset = 0; offset < ImageSize; ++offset) {
        if (offset >= k.blockImageOffset + 38 && offset <= k.blockImageOffset + 63) continue;
        ASSERT_EQ(after[offset], before[offset]) << label << ": image offset 0x" << std::hex << offset;
      }
      if (!firstPageHasData) {
        EXPECT_EQ(BytesAt(image, k.blockImageOffset, 38), std::vector<uint8_t>(38, 0xFF)) << label;
      }
    }
  }
}

TEST(SealIdentificationBlock, SealingTwiceGivesTheSameBlock) {
  for (const KindCase& k : Kinds) {
    MemoryImage image;
    StoreAt(image, k.dataAddress, Noise(3, 300));
    SealIdentificationBlock(image, k.kind, "TWICE", March5th2005);
    const std::vector<uint8_t> first = BytesAt(image, k.blockImageOffset, 64);
    SealIdentificationBlock(image, k.kind, "TWICE", March5th2005);
    EXPECT_EQ(BytesAt(image, k.blockImageOffset, 64), first) << FileKindName(k.kind);
    EXPECT_EQ(DeviceSum(image, k.sectors), 0) << FileKindName(k.kind);
  }
}

// Bytes of the kind's sectors count whether or not their pages hold file data (here: stray bytes
// on unused pages, in sectors 3 to 5 of a file that occupies only sectors 2 and 10), and bytes
// outside them never count (here: junk in every other bank region).
TEST(SealIdentificationBlock, SumCoversExactlyTheKindsSectors) {
  struct Region {
    uint32_t first;  // image offsets, inclusive
    uint32_t last;
  };
  const std::vector<std::pair<FileKind, std::vector<Region>>> outside = {
      {FileKind::Sector0, {{0x10000, 0x4FFFF}}},
      {FileKind::Sector1, {{0x10000, 0x4FFFF}}},
      {FileKind::MultiSector, {{0x40000, 0x4BFFF}}},
      {FileKind::Sector9, {{0x00000, 0x49FFF}, {0x4C000, 0x4FFFF}}},
  };
  for (const KindCase& k : Kinds) {
    MemoryImage clean;
    StoreAt(clean, k.blockAddress + 0x100, {0x12, 0x34});
    MemoryImage dirty;
    StoreAt(dirty, k.blockAddress + 0x100, {0x12, 0x34});
    for (const auto& [kind, regions] : outside) {
      if (kind != k.kind) continue;
      for (const Region& r : regions) {
        for (uint32_t offset = r.first; offset <= r.last; offset += 97) dirty.SetImageByte(offset, 0x01);
      }
    }
    SealIdentificationBlock(clean, k.kind, "A", March5th2005);
    SealIdentificationBlock(dirty, k.kind, "A", March5th2005);
    EXPECT_EQ(dirty.ImageByte(k.blockImageOffset + 63), clean.ImageByte(k.blockImageOffset + 63))
        << FileKindName(k.kind) << ": a byte outside its sectors entered the sum";
  }

  MemoryImage image;
  StoreAt(image, 0x20000, {0x01});  // sector 2
  StoreAt(image, 0x7C000, {0x02});  // sector 10
  for (uint32_t address : {0x30000u, 0x4ABCDu, 0x5FFFFu}) {
    image.SetImageByte(ImageOffsetOfAddress(address), 0x5A);  // stray bytes, pages left unused
  }
  ASSERT_EQ(ClassifyImage(image.Pages()).kind, FileKind::MultiSector);
  SealIdentificationBlock(image, FileKind::MultiSector, "A", March5th2005);
  EXPECT_EQ(DeviceSum(image, {2, 3, 4, 5, 10}), 0);
}

TEST(ChecksumCoverage, CoversEverySectorTheKindErases) {
  const std::vector<std::pair<FileKind, uint32_t>> sizes = {
      {FileKind::Sector0, 65536}, {FileKind::Sector1, 65536}, {FileKind::MultiSector, 278528},
      {FileKind::Sector9, 8192},  {FileKind::Empty, 0},       {FileKind::Unknown, 0},
  };
  for (const auto& [kind, size] : sizes) {
    uint32_t total = 0;
    for (const CoveredRange& range : ChecksumCoverage(kind))
      total += range.lastOffset - range.firstOffset + 1;
    EXPECT_EQ(total, size) << FileKindName(kind);
  }
}

TEST(SealIdentificationBlock, LeavesImagesThatAreNotSentAlone) {
  for (FileKind kind : {FileKind::Empty, FileKind::Unknown}) {
    MemoryImage image;
    StoreAt(image, 0x00000, {0x01});
    StoreAt(image, 0x10000, {0x02});
    const std::vector<uint8_t> before = BytesAt(image, 0, ImageSize);
    SealIdentificationBlock(image, kind, "NOTHING", March5th2005);
    EXPECT_EQ(BytesAt(image, 0, ImageSize), before) << FileKindName(kind);
  }
}

}  // namespace
}  // namespace kv
