// Helpers for the image tests: a source that splits its input into small chunks, and a check of the
// whole image and page map against the few bytes and pages a case expects. HEX records come from the
// shared writer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "image/hex_reader.h"
#include "tests/support/hex_text.h"

namespace kv::test {

inline std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Hands the input out `size` bytes at a time, so a record is split at every possible place.
class ChunkedByteSource : public ByteSource {
 public:
  ChunkedByteSource(std::span<const uint8_t> bytes, size_t size) : bytes_(bytes), size_(size) {}
  std::span<const uint8_t> NextChunk() override {
    const auto chunk = bytes_.first(std::min(size_, bytes_.size()));
    bytes_ = bytes_.subspan(chunk.size());
    return chunk;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t size_;
};

struct StoredByte {
  uint32_t imageOffset;
  uint8_t value;
};

// The image holds exactly `bytes` (every other byte 0xFF) and exactly `pages` are used.
inline testing::AssertionResult ImageHolds(const MemoryImage& image, const std::vector<StoredByte>& bytes,
                                           const std::vector<uint32_t>& pages) {
  std::vector<uint8_t> expected(ImageSize, ErasedByte);
  for (const auto& b : bytes) expected[b.imageOffset] = b.value;
  for (uint32_t offset = 0; offset < ImageSize; ++offset) {
    if (image.ImageByte(offset) != expected[offset]) {
      return testing::AssertionFailure()
             << "image offset 0x" << std::hex << offset << " holds 0x" << int{image.ImageByte(offset)}
             << ", expected 0x" << int{expected[offset]};
    }
  }
  const std::set<uint32_t> used(pages.begin(), pages.end());
  for (uint32_t page = 0; page < PageCount; ++page) {
    if (image.IsPageUsed(page) != used.contains(page)) {
      return testing::AssertionFailure()
             << "page 0x" << std::hex << page << (used.contains(page) ? " not used" : " used");
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace kv::test
