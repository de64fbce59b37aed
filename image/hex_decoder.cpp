// Decoding of Intel HEX records from a byte source into the memory image.
//
// The decoder walks the source's chunks with a raw pointer; a chunk boundary costs one compare per hex
// pair, and a record may be split anywhere between chunks. Within a chunk, digits are judged and
// converted sixteen at a time as one vector, then eight at a time as one word; the few left over go
// through a 256-entry table.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "image/hex_advice.h"
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

// Sixteen characters at once in a 16-byte vector (GCC's and Clang's vector extensions, which become
// SSE2 on x86-64 and plain word arithmetic elsewhere): eight bytes per step instead of a table lookup
// per character.
using CharVector = uint8_t __attribute__((vector_size(16)));
using PairVector = uint16_t __attribute__((vector_size(16)));  // one decoded byte per lane
using ByteVector = uint8_t __attribute__((vector_size(8)));
constexpr size_t VectorDigits = 16;

// Sixteen upper-case hex digits as eight bytes, high nibble first, each byte also in its lane of
// `pairs` (for the checksum); false when any character is not a digit.
bool DecodeSixteenDigits(const uint8_t* text, uint8_t* bytes, PairVector& pairs) {
  CharVector c;
  std::memcpy(&c, text, sizeof c);
  const CharVector decimals = reinterpret_cast<CharVector>((c >= '0') & (c <= '9'));
  const CharVector letters = reinterpret_cast<CharVector>((c >= 'A') & (c <= 'F'));
  const CharVector digits = decimals | letters;
  uint64_t halves[2];
  std::memcpy(halves, &digits, sizeof halves);
  if (~(halves[0] & halves[1]) != 0) return false;
  const CharVector nibbles = (c & 0x0F) + (letters & 9);
  // The first character of each pair (the lane's lower byte) is the high nibble.
  const PairVector lanes = reinterpret_cast<PairVector>(nibbles);
  pairs = ((lanes & 0xFF) << 4) | (lanes >> 8);
  const ByteVector packed = __builtin_convertvector(pairs, ByteVector);
  std::memcpy(bytes, &packed, sizeof packed);
  return true;
}

// The sum of the lanes, modulo 256.
uint8_t SumOfLanes(PairVector lanes) {
  uint16_t values[8];
  std::memcpy(values, &lanes, sizeof values);
  uint16_t sum = 0;
  for (uint16_t value : values) sum = static_cast<uint16_t>(sum + value);
  return static_cast<uint8_t>(sum);
}

// Word arithmetic on eight characters at once, the first character in the lowest byte.
static_assert(std::endian::native == std::endian::little,
              "the eight-digit decoding reads words little-endian");
constexpr uint64_t EachByte = 0x0101010101010101;
constexpr uint64_t HighBits = EachByte * 0x80;
constexpr uint64_t EvenBytes = 0x00FF00FF00FF00FF;

// The high bit of each byte whose value lies in [low, high]; right for bytes below 0x80 (every
// digit), and no byte borrows from its neighbour.
constexpr uint64_t BytesWithin(uint64_t word, uint8_t low, uint8_t high) {
  const uint64_t raised = word | HighBits;
  return (raised - EachByte * low) & ~(raised - EachByte * (high + 1u)) & HighBits;
}

// Eight upper-case hex digits as four bytes, high nibble first; false when any character is not one.
bool DecodeEightDigits(const uint8_t* text, uint32_t& bytes) {
  uint64_t word;
  std::memcpy(&word, text, sizeof word);
  const uint64_t decimals = BytesWithin(word, '0', '9');
  const uint64_t letters = BytesWithin(word, 'A', 'F');
  if (((decimals | letters) ^ HighBits) | (word & HighBits)) return false;
  const uint64_t nibbles = (word & (EachByte * 0x0F)) + (letters >> 7) * 9;
  // Each 16-bit lane holds one pair: its first character (the lower byte) is the high nibble.
  uint64_t pairs = ((nibbles & EvenBytes) << 4) | ((nibbles >> 8) & EvenBytes);
  pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFF;
  bytes = static_cast<uint32_t>(pairs | (pairs >> 16));
  return true;
}

// The sum of the four bytes, modulo 256.
constexpr uint8_t SumOfBytes(uint32_t bytes) {
  return static_cast<uint8_t>(bytes + (bytes >> 8) + (bytes >> 16) + (bytes >> 24));
}

// What stopped a read, kept only on the failure path for the user's detail line.
enum class Problem : uint8_t {
  None,          // nothing went wrong (yet)
  BadCharacter,  // a character that is not an upper-case hex digit inside a record
  EndOfInput,    // the input ended inside a record
  Checksum,      // the record's bytes do not sum to zero
  SegmentValue,  // a type 02 value the image has no bank for
  RecordType,    // a record type other than 00, 01 and 02
  EndRecord,     // an end record other than :00000001FF
  NoEndRecord,   // the input ended before an end record
  ZeroByte,      // a zero byte between records
};

struct FailureNote {
  Problem problem = Problem::None;
  uint8_t character = 0;  // BadCharacter
  uint8_t found = 0;      // Checksum: the file's checksum byte; RecordType: the type
  uint8_t expected = 0;   // Checksum
  uint16_t value = 0;     // SegmentValue
};

// The input as the reader sees it: one byte after another, chunk boundaries hidden, plus the running
// sum of the current record.
class RecordInput {
 public:
  explicit RecordInput(ByteSource& source) : source_(source) {}

  // Skips everything up to and including the next ':'. False when a zero byte or the end of the input
  // comes first. Counts the line breaks on the way: records hold none, so this is every line that a
  // read which stops in a record has passed.
  bool SkipToColon() {
    for (;;) {
      while (next_ != end_) {
        const uint8_t c = *next_++;
        newlines_ += c == '\n';
        if (c == ':') {
          recordLine_ = newlines_ + 1;
          return true;
        }
        if (c == 0) {
          note_.problem = Problem::ZeroByte;
          recordLine_ = newlines_ + 1;
          return false;
        }
      }
      // Once per chunk, not per byte, and from its end: mostly a line break or two.
      if (const uint32_t line = LastFilledLine()) filledLine_ = line;
      if (!Refill()) {
        note_.problem = Problem::NoEndRecord;
        // The last line that holds something: blank lines at the end are nothing.
        recordLine_ = filledLine_;
        return false;
      }
    }
  }

  void StartRecord() { sum_ = 0; }
  bool SumIsZero() const { return sum_ == 0; }
  // After a failed SumIsZero: the checksum byte that would have made the record sum to zero.
  void NoteChecksum(uint8_t found) {
    note_ = {Problem::Checksum, 0, found, static_cast<uint8_t>(found - sum_), 0};
  }
  void Note(const FailureNote& note) { note_ = note; }
  const FailureNote& Failure() const { return note_; }
  uint32_t RecordLine() const { return recordLine_; }

  // Two characters make one byte, high nibble first. Both are read before either is judged; a missing
  // character (end of input) or anything but '0'-'9' and 'A'-'F' is a failure.
  bool ReadHexByte(uint8_t& value) {
    if (end_ - next_ < 2) [[unlikely]]
      return ReadHexByteAcrossChunks(value);
    const bool ok = Combine(next_[0], next_[1], value);
    next_ += 2;
    return ok;
  }

  // `count` bytes in a row, as many ReadHexByte calls would read them. When the chunk holds them all,
  // the loop keeps its cursor and sum in registers: stores into `out` could otherwise alias them.
  bool ReadHexBytes(uint8_t* out, size_t count) {
    if (static_cast<size_t>(end_ - next_) < 2 * count) {
      for (size_t i = 0; i < count; ++i) {
        if (!ReadHexByte(out[i])) return false;
      }
      return true;
    }
    const uint8_t* const first = next_;
    const uint8_t* next = next_;
    size_t i = 0;
    PairVector sums{};  // lanes wrap modulo 65536, which keeps their sums right modulo 256
    for (; i + VectorDigits / 2 <= count; i += VectorDigits / 2, next += VectorDigits) {
      PairVector pairs;
      if (!DecodeSixteenDigits(next, out + i, pairs)) [[unlikely]]
        return NoteFirstBadCharacter(first, 2 * count);
      sums += pairs;
    }
    uint8_t sum = static_cast<uint8_t>(sum_ + SumOfLanes(sums));
    for (; i + 4 <= count; i += 4, next += 8) {
      uint32_t four;
      if (!DecodeEightDigits(next, four)) [[unlikely]]
        return NoteFirstBadCharacter(first, 2 * count);
      std::memcpy(out + i, &four, sizeof four);
      sum = static_cast<uint8_t>(sum + SumOfBytes(four));
    }
    uint8_t invalid = 0;
    for (; i < count; ++i, next += 2) {
      const uint8_t high = DigitValue[next[0]];
      const uint8_t low = DigitValue[next[1]];
      invalid |= high | low;
      out[i] = static_cast<uint8_t>((high << 4) | low);
      sum = static_cast<uint8_t>(sum + out[i]);
    }
    if (invalid & NotADigit) [[unlikely]]
      return NoteFirstBadCharacter(first, 2 * count);
    next_ = next;
    sum_ = sum;
    return true;
  }

 private:
  // Always false: the read stops at the first character that is not a digit.
  [[gnu::noinline, gnu::cold]] bool NoteFirstBadCharacter(const uint8_t* from, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      if (DigitValue[from[i]] == NotADigit) {
        NoteBadCharacter(from[i]);
        break;
      }
    }
    return false;
  }
  void NoteBadCharacter(uint8_t c) { note_ = {Problem::BadCharacter, c, 0, 0, 0}; }

  bool Combine(uint8_t first, uint8_t second, uint8_t& value) {
    const uint8_t high = DigitValue[first];
    const uint8_t low = DigitValue[second];
    if ((high | low) & NotADigit) [[unlikely]] {
      NoteBadCharacter(high == NotADigit ? first : second);
      return false;
    }
    value = static_cast<uint8_t>((high << 4) | low);
    sum_ = static_cast<uint8_t>(sum_ + value);
    return true;
  }

  // The line of the current chunk's last byte that is neither a blank nor a line break; 0 for none.
  // SkipToColon asks this of every chunk it runs out of, and so of the chunk that holds the input's
  // last such byte: whether that byte is text after the last record or the record's own last digit
  // (on its colon's line), only skipped bytes follow it.
  uint32_t LastFilledLine() const {
    uint32_t line = newlines_ + 1;
    for (const uint8_t* p = end_; p != chunkStart_;) {
      const uint8_t c = *--p;
      if (c == '\n') {
        --line;
      } else if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') {
        return line;
      }
    }
    return 0;
  }

  // The rare pair that straddles a chunk boundary (or the end of the input).
  [[gnu::noinline]] bool ReadHexByteAcrossChunks(uint8_t& value) {
    uint8_t first;
    uint8_t second;
    return ReadChar(first) && ReadChar(second) && Combine(first, second, value);
  }

  bool ReadChar(uint8_t& c) {
    if (next_ == end_ && !Refill()) {
      note_.problem = Problem::EndOfInput;
      return false;
    }
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
    chunkStart_ = next_ = chunk.data();
    end_ = chunk.data() + chunk.size();
    return true;
  }

  ByteSource& source_;
  const uint8_t* chunkStart_ = nullptr;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool ended_ = false;
  uint8_t sum_ = 0;
  uint32_t newlines_ = 0;
  uint32_t recordLine_ = 0;  // 1-based line of the current record's colon
  uint32_t filledLine_ = 0;  // the line of the last byte seen (so far) that is not blank, 0 for none
  FailureNote note_;
};

struct RecordHeader {
  uint8_t count;
  uint16_t address;
  uint8_t type;
};

bool ReadHeader(RecordInput& in, RecordHeader& header) {
  std::array<uint8_t, 4> bytes;  // count, address high, address low, type
  if (!in.ReadHexBytes(bytes.data(), bytes.size())) return false;
  header = {bytes[0], static_cast<uint16_t>((bytes[1] << 8) | bytes[2]), bytes[3]};
  return true;
}

// A data record's bytes are held back until its checksum is verified, so a corrupt or cut-off record
// never leaves bytes in the image that a later download would flash. nullopt: go on with the next
// record.
std::optional<HexReadResult> ReadDataRecord(RecordInput& in, const RecordHeader& header, uint32_t segment,
                                            MemoryImage& image) {
  std::array<uint8_t, 256> data;  // up to 255 data bytes, then the checksum
  if (!in.ReadHexBytes(data.data(), header.count + 1u)) return InvalidHexFormat;
  if (!in.SumIsZero()) [[unlikely]] {
    in.NoteChecksum(data[header.count]);
    return InvalidHexFormat;
  }
  image.StoreBytes(segment, header.address, data.data(), header.count);
  return std::nullopt;
}

// Exactly two value bytes follow whatever the count says; the checksum is judged before the value.
std::optional<HexReadResult> ReadSegmentRecord(RecordInput& in, uint32_t& segment) {
  std::array<uint8_t, 3> bytes;  // value high, value low, checksum
  if (!in.ReadHexBytes(bytes.data(), bytes.size())) return InvalidHexFormat;
  const uint8_t high = bytes[0];
  const uint8_t low = bytes[1];
  if (!in.SumIsZero()) {
    in.NoteChecksum(bytes[2]);
    return InvalidHexFormat;
  }
  if (low != 0 || (high & 0x8F) != 0) {
    in.Note({Problem::SegmentValue, 0, 0, 0, static_cast<uint16_t>((high << 8) | low)});
    return IllegalSegmentAlignment;
  }
  segment = high >> 4;
  return std::nullopt;
}

// Only :00000001FF ends a file; the checksum follows the type directly whatever the count says.
HexReadResult ReadEndRecord(RecordInput& in, const RecordHeader& header) {
  uint8_t checksum;
  if (!in.ReadHexByte(checksum)) return InvalidHexFormat;
  if (!in.SumIsZero()) {
    in.NoteChecksum(checksum);
    return InvalidHexFormat;
  }
  if (header.count != 0 || header.address != 0) {
    in.Note({Problem::EndRecord, 0, 0, 0, 0});
    return InvalidHexFormat;
  }
  return ReadComplete;
}

HexReadResult DecodeRecords(RecordInput& in, MemoryImage& image, EventPump& host) {
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
        in.Note({Problem::RecordType, 0, header.type, 0, 0});
        return UnsupportedRecordType;  // the rest of the record is not read
    }
    if (stop) return *stop;
  }
}

// The source and the file's name, for the advice that the failure path works out from the whole file.
struct AdviceInput {
  ByteSource& source;
  std::string_view fileName;
};

// Why a record type is refused, and how to get a file this loader reads.
std::string RecordTypeText(uint8_t type, const AdviceInput& input) {
  char text[64];
  std::snprintf(text, sizeof text, "record type %02X", type);
  std::string line = text;
  switch (type) {
    case 0x04:
      return line +
             " (extended linear address): this loader reads 20-bit segment addressing only (types 00, 01, "
             "02)" +
             ConversionAdvice(Refusal::LinearAddress, input.source, input.fileName);
    case 0x03:
    case 0x05:
      return line + " (start address): this loader reads types 00, 01 and 02 only" +
             ConversionAdvice(Refusal::StartAddress, input.source, input.fileName);
    default:
      return line + " is not an Intel HEX record type; this loader reads types 00, 01 and 02";
  }
}

std::string CharacterText(uint8_t c, const AdviceInput& input) {
  char text[96];
  if (c == ':' || c == '\r' || c == '\n') return "record cut short";
  if (c >= 'a' && c <= 'f') {
    std::snprintf(text, sizeof text, "lower-case digit '%c'; this loader reads upper-case hex digits only",
                  c);
    return text + ConversionAdvice(Refusal::LowerCase, input.source, input.fileName);
  }
  if (c > ' ' && c < 0x7F) {
    std::snprintf(text, sizeof text, "bad character '%c' in a record", c);
  } else {
    std::snprintf(text, sizeof text, "bad character 0x%02X in a record", c);
  }
  return text;
}

std::string FailureText(const FailureNote& note, const AdviceInput& input) {
  char text[96];
  switch (note.problem) {
    case Problem::BadCharacter:
      return CharacterText(note.character, input);
    case Problem::EndOfInput:
      return "record cut short by the end of the file";
    case Problem::Checksum:
      std::snprintf(text, sizeof text, "checksum %02X, expected %02X", note.found, note.expected);
      return text;
    case Problem::SegmentValue:
      std::snprintf(text, sizeof text, "segment value %04X; this loader takes 0000 to 7000 in steps of 1000",
                    note.value);
      return text;
    case Problem::RecordType:
      return RecordTypeText(note.found, input);
    case Problem::EndRecord:
      return "bad end record; it must read :00000001FF";
    case Problem::NoEndRecord:
      return "the file ends without an end record (:00000001FF)";
    case Problem::ZeroByte:
      return "zero byte before the end record";
    case Problem::None:
      break;
  }
  return {};
}

}  // namespace

HexReadResult DecodeHex(ByteSource& source, MemoryImage& image, EventPump& host, HexReadDetail* detail,
                        std::string_view fileName) {
  RecordInput in(source);
  const HexReadResult result = DecodeRecords(in, image, host);
  if (detail != nullptr) {
    const bool failed = result != ReadComplete;
    detail->line = failed ? in.RecordLine() : 0;
    // `in` is done with the source here: the advice may start it over.
    detail->text = failed ? FailureText(in.Failure(), {source, fileName}) : std::string();
  }
  return result;
}

}  // namespace kv
