#include "image/memory_image.h"

#include <algorithm>

namespace kv {

MemoryImage::MemoryImage() : bytes_(AllocateImageStorage()) {
  ResetImage();
}

MemoryImage::MemoryImage(const MemoryImage& other) : bytes_(AllocateImageStorage()), pages_(other.pages_) {
  std::copy_n(other.bytes_.get(), ImageSize, bytes_.get());
}

MemoryImage& MemoryImage::operator=(const MemoryImage& other) {
  if (this != &other) {
    std::copy_n(other.bytes_.get(), ImageSize, bytes_.get());
    pages_ = other.pages_;
  }
  return *this;
}

void MemoryImage::StoreBytes(uint32_t segment, uint32_t offset, const uint8_t* data, uint32_t count) {
  segment %= SegmentCount;
  offset &= 0xFFFF;
  while (count > 0) {
    // The run up to the end of the segment's 64 KiB; the rest wraps to its start.
    const uint32_t run = std::min(count, BankSize - offset);
    std::copy_n(data, run, &bytes_[ImageOffset(segment, offset)]);
    for (uint32_t page = offset >> 8; page <= (offset + run - 1) >> 8; ++page) {
      pages_.MarkPageUsed(segment * 256 + page);
    }
    data += run;
    count -= run;
    offset = 0;
  }
}

void MemoryImage::ResetImage() {
  std::fill_n(bytes_.get(), ImageSize, ErasedByte);
  pages_.Clear();
}

}  // namespace kv
