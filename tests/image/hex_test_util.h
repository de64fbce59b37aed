// Helpers for the image tests: a source that splits its input into small chunks, and a check of the
// whole image and page map against the few bytes and pages a case expects. HEX records come from the
// shared writer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// The text with its letters in lower case: a HEX file as some tools write it.
inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Hands the input out `size` bytes at a time, so a record is split at every possible place.
class ChunkedByteSource : public ByteSource {
 public:
  ChunkedByteSource(std::span<const uint8_t> bytes, size_t size) : all_(bytes), bytes_(bytes), size_(size) {}
  std::span<const uint8_t> NextChunk() override {
    const auto chunk = bytes_.first(std::min(size_, bytes_.size()));
    bytes_ = bytes_.subspan(chunk.size());
    return chunk;
  }
  bool Restart() override {
    bytes_ = all_;
    return true;
  }

 private:
  std::span<const uint8_t> all_;
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

// A whole segment 0 in 32-byte records (about 150 KB of text, more than one read chunk), with what the
// image must hold after reading it: every file front end is checked against it.
struct ChunkSpanningFile {
  std::string text;
  std::vector<StoredByte> bytes;
  std::vector<uint32_t> pages;
  int records = 0;
};

inline ChunkSpanningFile MakeChunkSpanningFile() {
  ChunkSpanningFile file;
  for (uint32_t offset = 0; offset < 0x10000; offset += 32) {
    std::vector<uint8_t> data(32, static_cast<uint8_t>(offset >> 5));
    file.text += HexRecord(0, static_cast<uint16_t>(offset), data) + "\r\n";
    for (uint32_t i = 0; i < 32; ++i) file.bytes.push_back({offset + i, data[i]});
    if (offset % PageSize == 0) file.pages.push_back(offset >> 8);
    ++file.records;
  }
  file.text += ":00000001FF\r\n";
  ++file.records;
  return file;
}

}  // namespace kv::test
