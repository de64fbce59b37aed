// Fuzzes the HEX decoder. Besides the sanitizers' checks it traps when:
//  - the result is not one the decoder can give;
//  - the event loop turned more often than the input has colons;
//  - ReadComplete came from an input without an end record;
//  - an image byte differs from 0xFF while no page that maps onto it is used (a byte without its flag);
//  - the same input cut into small chunks decodes differently (result, turns, bytes or flags).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "image/hex_reader.h"

namespace {

class CountingPump : public kv::EventPump {
 public:
  void ProcessMessages() override { ++turns; }
  size_t turns = 0;
};

// Starts over as the whole-buffer source does, so that the advice, worked out from a second look at the
// input, must come out the same too.
class ChunkedSource : public kv::ByteSource {
 public:
  ChunkedSource(std::span<const uint8_t> bytes, size_t size) : all_(bytes), bytes_(bytes), size_(size) {}
  std::span<const uint8_t> NextChunk() override {
    const auto chunk = bytes_.first(bytes_.size() < size_ ? bytes_.size() : size_);
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

// The checks are not what is being fuzzed: keep the fuzzer's comparison tracing out of them.
#define NotTraced __attribute__((no_sanitize("coverage")))

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// One page of each bank in the order of the banks: segments 0, 3, 4, 5 and 7 own banks 0 to 4.
constexpr uint32_t BankSegments[] = {0, 3, 4, 5, 7};

// memcmp rather than a loop: the fuzzer's coverage hooks would otherwise trace every byte compared.
bool PageErased(const uint8_t* page) {
  static const std::array<uint8_t, kv::PageSize> erased = [] {
    std::array<uint8_t, kv::PageSize> bytes;
    bytes.fill(kv::ErasedByte);
    return bytes;
  }();
  return std::memcmp(page, erased.data(), erased.size()) == 0;
}

NotTraced void CheckNoByteWithoutItsPage(const kv::MemoryImage& image) {
  bool used[kv::BankCount][256] = {};  // any page of a segment sharing the bank uses this location
  for (uint32_t page = 0; page < kv::PageCount; ++page) {
    if (image.IsPageUsed(page)) used[kv::SegmentBankTable[page >> 8]][page & 0xFF] = true;
  }
  for (uint32_t bank = 0; bank < kv::BankCount; ++bank) {
    for (uint32_t q = 0; q < 256; ++q) {
      if (!used[bank][q]) Check(PageErased(image.PageData(BankSegments[bank] * 256 + q)));
    }
  }
}

// The image is one block of ImageSize bytes, starting at page 0.
NotTraced bool SameImage(const kv::MemoryImage& a, const kv::MemoryImage& b) {
  for (uint32_t page = 0; page < kv::PageCount; ++page) {
    if (a.IsPageUsed(page) != b.IsPageUsed(page)) return false;
  }
  return std::memcmp(a.PageData(0), b.PageData(0), kv::ImageSize) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kv::MemoryImage whole;
  static kv::MemoryImage chunked;
  const std::span<const uint8_t> input(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  whole.ResetImage();
  CountingPump wholePump;
  kv::MemoryByteSource wholeSource(input);
  kv::HexReadDetail wholeDetail;
  const kv::HexReadResult result = kv::DecodeHex(wholeSource, whole, wholePump, &wholeDetail);

  Check(result == kv::ReadComplete || result == kv::InvalidHexFormat ||
        result == kv::IllegalSegmentAlignment || result == kv::UnsupportedRecordType);
  size_t colons = 0;
  for (char c : text) colons += c == ':' ? 1 : 0;
  Check(wholePump.turns <= colons);
  Check(result != kv::ReadComplete || text.find(":00000001FF") != std::string_view::npos);
  CheckNoByteWithoutItsPage(whole);

  chunked.ResetImage();
  CountingPump chunkedPump;
  ChunkedSource chunkedSource(input, 1 + size % 13);
  kv::HexReadDetail chunkedDetail;
  Check(kv::DecodeHex(chunkedSource, chunked, chunkedPump, &chunkedDetail) == result);
  // Where a read stopped and why does not depend on how the input was cut either; a failure always
  // says something, and the line is never past the input's last line.
  Check(chunkedDetail.line == wholeDetail.line && chunkedDetail.text == wholeDetail.text);
  Check((result == kv::ReadComplete) == wholeDetail.text.empty());
  size_t lines = 1;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  Check(wholeDetail.line <= lines);
  Check(chunkedPump.turns == wholePump.turns);
  Check(SameImage(whole, chunked));
  return 0;
}
