// Decoding of Intel HEX records from a byte source into the memory image.
//
// The decoder walks the source's chunks with a raw pointer; a chunk boundary costs one compare per hex
// pair, and a record may be split anywhere between chunks. Digits are judged through a 256-entry table.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "image/hex_reader.h"

namespace kv {
namespace {

constexpr uint8_t NotADigit = 0x10;
constexpr uint8_t DataRecord = 0x00;
constexpr uint8_t EndOfFileRecord = 0x01;
constexpr uint8_t SegmentRecord = 0x02;

// Value of each byte as an upper-case hex digit, NotADigit for everything else (lower case, the zero
// byte and the colon included).
constexpr std::array<uint8_t, 256> MakeDigitTable() {
  std::array<uint8_t, 256> table{};
  table.fill(NotADigit);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<uint8_t>(c - 'A' + 10);
  return table;
}
constexpr std::array<uint8_t, 256> DigitValue = MakeDigitTable();

// The input as the reader sees it: one byte after another, chunk boundaries hidden, plus the running
// sum of the current record.
class RecordInput {
 public:
  explicit RecordInput(ByteSource& source) : source_(source) {}

  // Skips everything up to and including the next ':'. False when a zero byte or the end of the input
  // comes first.
  bool SkipToColon() {
    for (;;) {
      while (next_ != end_) {
        const uint8_t c = *next_++;
        if (c == ':') return true;
        if (c == 0) return false;
      }
      if (!Refill()) return false;
    }
  }

  void StartRecord() { sum_ = 0; }
  bool SumIsZero() const { return sum_ == 0; }

  // Two characters make one byte, high nibble first. Both are read before either is judged; a missing
  // character (end of input) or anything but '0'-'9' and 'A'-'F' is a failure.
  bool ReadHexByte(uint8_t& value) {
    if (end_ - next_ < 2) [[unlikely]]
      return ReadHexByteAcrossChunks(value);
    const bool ok = Combine(next_[0], next_[1], value);
    next_ += 2;
    return ok;
  }

  // `count` bytes in a row. When the chunk holds them all, the loop keeps its cursor and sum in
  // registers: stores into `out` could otherwise alias them.
  bool ReadHexBytes(uint8_t* out, size_t count) {
    if (static_cast<size_t>(end_ - next_) < 2 * count) {
      for (size_t i = 0; i < count; ++i) {
        if (!ReadHexByte(out[i])) return false;
      }
      return true;
    }
    const uint8_t* next = next_;
    uint8_t sum = sum_;
    uint8_t invalid = 0;
    for (size_t i = 0; i < count; ++i, next += 2) {
      const uint8_t high = DigitValue[next[0]];
      const uint8_t low = DigitValue[next[1]];
      invalid |= high | low;
      out[i] = static_cast<uint8_t>((high << 4) | low);
      sum = static_cast<uint8_t>(sum + out[i]);
    }
    next_ = next;
    sum_ = sum;
    return (invalid & NotADigit) == 0;
  }

 private:
  bool Combine(uint8_t first, uint8_t second, uint8_t& value) {
    const uint8_t high = DigitValue[first];
    const uint8_t low = DigitValue[second];
    if ((high | low) & NotADigit) return false;
    value = static_cast<uint8_t>((high << 4) | low);
    sum_ = static_cast<uint8_t>(sum_ + value);
    return true;
  }

  // The rare pair that straddles a chunk boundary (or the end of the input).
  [[gnu::noinline]] bool ReadHexByteAcrossChunks(uint8_t& value) {
    uint8_t first;
    uint8_t second;
    return ReadChar(first) && ReadChar(second) && Combine(first, second, value);
  }

  bool ReadChar(uint8_t& c) {
    if (next_ == end_ && !Refill()) return false;
    c = *next_++;
    return true;
  }

  // Fetches the next non-empty chunk; false once the source has ended. An empty chunk is final.
  bool Refill() {
    if (ended_) return false;
    const auto chunk = source_.NextChunk();
    if (chunk.empty()) {
      ended_ = true;
      return false;
    }
    next_ = chunk.data();
    end_ = chunk.data() + chunk.size();
    return true;
  }

  ByteSource& source_;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool ended_ = false;
  uint8_t sum_ = 0;
};

struct RecordHeader {
  uint8_t count;
  uint16_t address;
  uint8_t type;
};

bool ReadHeader(RecordInput& in, RecordHeader& header) {
  uint8_t high;
  uint8_t low;
  if (!in.ReadHexByte(header.count) || !in.ReadHexByte(high) || !in.ReadHexByte(low) ||
      !in.ReadHexByte(header.type)) {
    return false;
  }
  header.address = static_cast<uint16_t>((high << 8) | low);
  return true;
}

// Stores a verified record's bytes from its address on; past offset 0xFFFF the address wraps to the
// start of the same segment, as segment addressing does.
void StoreRecord(MemoryImage& image, uint32_t segment, uint16_t address, const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    image.StoreByte(segment, static_cast<uint16_t>(address + i), data[i]);
  }
}

// A data record's bytes are held back until its checksum is verified, so a corrupt or cut-off record
// never leaves bytes in the image that a later download would flash. nullopt: go on with the next
// record.
std::optional<HexReadResult> ReadDataRecord(RecordInput& in, const RecordHeader& header, uint32_t segment,
                                            MemoryImage& image) {
  std::array<uint8_t, 255> data;
  if (!in.ReadHexBytes(data.data(), header.count)) return InvalidHexFormat;
  uint8_t checksum;
  if (!in.ReadHexByte(checksum) || !in.SumIsZero()) return InvalidHexFormat;
  StoreRecord(image, segment, header.address, data.data(), header.count);
  return std::nullopt;
}

// Exactly two value bytes follow whatever the count says; the checksum is judged before the value.
std::optional<HexReadResult> ReadSegmentRecord(RecordInput& in, uint32_t& segment) {
  uint8_t high;
  uint8_t low;
  uint8_t checksum;
  if (!in.ReadHexByte(high) || !in.ReadHexByte(low) || !in.ReadHexByte(checksum) || !in.SumIsZero()) {
    return InvalidHexFormat;
  }
  if (low != 0 || (high & 0x8F) != 0) return IllegalSegmentAlignment;
  segment = high >> 4;
  return std::nullopt;
}

// Only :00000001FF ends a file; the checksum follows the type directly whatever the count says.
HexReadResult ReadEndRecord(RecordInput& in, const RecordHeader& header) {
  uint8_t checksum;
  if (!in.ReadHexByte(checksum) || !in.SumIsZero() || header.count != 0 || header.address != 0) {
    return InvalidHexFormat;
  }
  return ReadComplete;
}

}  // namespace

HexReadResult DecodeHex(ByteSource& source, MemoryImage& image, EventPump& host) {
  RecordInput in(source);
  uint32_t segment = 0;
  for (;;) {
    if (!in.SkipToColon()) return InvalidHexFormat;
    host.ProcessMessages();  // once per record keeps the window responsive during a long load
    in.StartRecord();
    RecordHeader header;
    if (!ReadHeader(in, header)) return InvalidHexFormat;

    std::optional<HexReadResult> stop;
    switch (header.type) {
      case DataRecord:
        stop = ReadDataRecord(in, header, segment, image);
        break;
      case SegmentRecord:
        stop = ReadSegmentRecord(in, segment);
        break;
      case EndOfFileRecord:
        return ReadEndRecord(in, header);
      default:
        return UnsupportedRecordType;  // the rest of the record is not read
    }
    if (stop) return *stop;
  }
}

}  // namespace kv
