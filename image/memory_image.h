// The in-memory picture of the device's 512 KiB flash as the HEX file describes it: five 64 KiB banks
// behind the segment-to-bank table, and one "used" flag per 256-byte page. The reader fills it, the
// download classifies it, stamps the identification block into it and sends it page by page.
//
// Every operation accepts any argument: out-of-range segments, offsets, pages and image offsets are
// folded into range (or ignored for writes past the image), so nothing can touch memory outside the
// image or the page map.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "image/image_storage.h"

namespace kv {

inline constexpr uint32_t SegmentCount = 8;
inline constexpr uint32_t BankCount = 5;
inline constexpr uint32_t BankSize = 0x10000;
inline constexpr uint32_t ImageSize = BankCount * BankSize;  // 327,680 bytes
inline constexpr uint32_t PageSize = 256;
inline constexpr uint32_t PageCount = 2048;
inline constexpr uint8_t ErasedByte = 0xFF;

// Segments 0, 1, 2 and 6 share bank 0: the device never holds more than one of them at a time.
inline constexpr std::array<uint32_t, SegmentCount> SegmentBankTable{0, 0, 0, 1, 2, 3, 0, 4};

// One flag per page; any non-zero value means the page holds data from the file (or the forced
// first page of a download).
class PageMap {
 public:
  bool IsPageUsed(uint32_t page) const { return flags_[page % PageCount] != 0; }
  void MarkPageUsed(uint32_t page) { flags_[page % PageCount] = 1; }
  void Clear() { flags_.fill(0); }

 private:
  std::array<int32_t, PageCount> flags_{};
};

class MemoryImage {
 public:
  MemoryImage();  // starts in the reset state: all 0xFF, no page used
  // A copy has storage of its own: each device of a gang seals and sends its own copy.
  MemoryImage(const MemoryImage& other);
  MemoryImage& operator=(const MemoryImage& other);
  MemoryImage(MemoryImage&&) noexcept = default;
  MemoryImage& operator=(MemoryImage&&) noexcept = default;

  // All bytes 0xFF, all page flags clear.
  void ResetImage();

  static constexpr uint32_t BankOf(uint32_t segment) { return SegmentBankTable[segment % SegmentCount]; }
  static constexpr uint32_t ImageOffset(uint32_t segment, uint32_t offset) {
    return BankOf(segment) * BankSize + (offset & 0xFFFF);
  }
  // Image offset of the page's first byte; its 256 bytes follow contiguously in one bank.
  static constexpr uint32_t PageOffset(uint32_t page) {
    return ImageOffset((page >> 8) & 7, (page & 0xFF) * PageSize);
  }

  // Writes the byte into the segment's bank and marks page segment*256 + (offset >> 8) used.
  void StoreByte(uint32_t segment, uint32_t offset, uint8_t value) {
    bytes_[ImageOffset(segment, offset)] = value;
    pages_.MarkPageUsed((segment % SegmentCount) * 256 + ((offset & 0xFFFF) >> 8));
  }

  // Writes `count` bytes from `offset` on, as StoreByte does one by one: an offset past 0xFFFF wraps to
  // the start of the same segment.
  void StoreBytes(uint32_t segment, uint32_t offset, const uint8_t* data, uint32_t count);

  // Reads the byte at an image offset; offsets past the image read as erased flash.
  uint8_t ImageByte(uint32_t imageOffset) const {
    return imageOffset < ImageSize ? bytes_[imageOffset] : ErasedByte;
  }
  // Writes the byte at an image offset; offsets past the image are ignored.
  void SetImageByte(uint32_t imageOffset, uint8_t value) {
    if (imageOffset < ImageSize) bytes_[imageOffset] = value;
  }
  // The 256 bytes of a page, straight from the image (page numbers are taken modulo 2048).
  const uint8_t* PageData(uint32_t page) const { return &bytes_[PageOffset(page)]; }

  bool IsPageUsed(uint32_t page) const { return pages_.IsPageUsed(page); }
  void MarkPageUsed(uint32_t page) { pages_.MarkPageUsed(page); }
  const PageMap& Pages() const { return pages_; }
  PageMap& Pages() { return pages_; }

 private:
  ImageStorage bytes_;  // ImageSize bytes, allocated once
  PageMap pages_;
};

}  // namespace kv
