// The decoder against one file per way it can be right or wrong: result, event-loop turns, and what
// the image and page map hold afterwards, with the input delivered whole and in small chunks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/hex_reader.h"
#include "tests/image/hex_test_util.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

using namespace std::string_literals;

struct DecodeCase {
  const char* name;
  std::string text;
  HexReadResult result;
  int pumps;  // records whose colon was reached
  std::vector<StoredByte> bytes;
  std::vector<uint32_t> pages;
};

const std::string Good = ":0412340001020304AC\r\n";  // 01 02 03 04 at 0x1234, page 0x012
const std::vector<StoredByte> GoodBytes{{0x1234, 1}, {0x1235, 2}, {0x1236, 3}, {0x1237, 4}};
const std::string End = ":00000001FF\r\n";

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i);
  return data;
}

std::vector<StoredByte> CountingAt(uint32_t imageOffset, size_t n) {
  std::vector<StoredByte> bytes;
  for (size_t i = 0; i < n; ++i)
    bytes.push_back({static_cast<uint32_t>(imageOffset + i), static_cast<uint8_t>(i)});
  return bytes;
}

// A faulty record leaves nothing of itself in the image; everything before it stays.
const std::vector<DecodeCase> Malformed{
    {"empty file", "", InvalidHexFormat, 0, {}, {}},
    {"no end record", Good + "\r\n  \r\n", InvalidHexFormat, 1, GoodBytes, {0x012}},
    {"bad digit in data", Good + ":02000000G0A5FF" + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"bad digit in checksum", Good + ":020000005AA5FG" + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"lower case data", Good + ":020000005aa5FF" + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"lower case checksum", ":0412340001020304ac" + End, InvalidHexFormat, 1, {}, {}},
    {"lower case address", ":04abcd0001020304AC" + End, InvalidHexFormat, 1, {}, {}},
    {"cut off, next colon follows", Good + ":020000005A" + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"cut off by the end of the file", Good + ":020000005AA5", InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"colon at the end", Good + ":", InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"header cut short", Good + ":0200", InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"zero byte between records", Good + "\0"s + End, InvalidHexFormat, 1, GoodBytes, {0x012}},
    {"zero byte inside a record", Good + ":020000005A\0A5FF"s + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"data record with wrong checksum",
     Good + ":020000005AA5FE" + End,
     InvalidHexFormat,
     2,
     GoodBytes,
     {0x012}},
    {"end record with address 1", Good + ":00000101FE", InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"end record with count 1", Good + ":01000001FE", InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"end record with wrong checksum", ":00000001FE", InvalidHexFormat, 1, {}, {}},
    {"segment 0x8000", Good + ":0200000280007C" + End, IllegalSegmentAlignment, 2, GoodBytes, {0x012}},
    {"segment 0x1800", Good + ":020000021800E4" + End, IllegalSegmentAlignment, 2, GoodBytes, {0x012}},
    {"segment 0x0010", Good + ":020000020010EC" + End, IllegalSegmentAlignment, 2, GoodBytes, {0x012}},
    {"good segment, wrong checksum", Good + ":020000021000ED" + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"bad segment, wrong checksum", Good + ":0200000280007D" + End, InvalidHexFormat, 2, GoodBytes, {0x012}},
    {"type 04", Good + ":020000040001F9" + End, UnsupportedRecordType, 2, GoodBytes, {0x012}},
    {"type 04 with wrong checksum", ":020000040001F8" + End, UnsupportedRecordType, 1, {}, {}},
    {"type 03 cut after its type", ":02000003", UnsupportedRecordType, 1, {}, {}},
    {"bad record after a segment change", ":020000023000CC:020000005AA5FE", InvalidHexFormat, 2, {}, {}},
};

const std::vector<DecodeCase> WellFormed{
    {"end record only", End, ReadComplete, 1, {}, {}},
    {"one data record", Good + End, ReadComplete, 2, GoodBytes, {0x012}},
    {"segment 1",
     ":020000021000EC\n:02001000AABB89\n" + End,
     ReadComplete,
     3,
     {{0x10, 0xAA}, {0x11, 0xBB}},
     {0x100}},
    {"segment 7",
     ":0200000270008C\n:02001000ABCD76\n" + End,
     ReadComplete,
     3,
     {{0x40010, 0xAB}, {0x40011, 0xCD}},
     {0x700}},
    {"segment record of count 0",
     ":000000021000EE:02001000AABB89" + End,
     ReadComplete,
     3,
     {{0x10, 0xAA}, {0x11, 0xBB}},
     {0x100}},
    {"records on one line",
     ":0412340001020304AC:02001000AABB89:00000001FF",
     ReadComplete,
     3,
     [] {
       auto b = GoodBytes;
       b.insert(b.end(), {{0x10, 0xAA}, {0x11, 0xBB}});
       return b;
     }(),
     {0x012, 0x000}},
    {"text around records",
     "; built today\r\n" + Good + " trailing\t\r\n\r\nrem\n" + End + "\n",
     ReadComplete,
     2,
     GoodBytes,
     {0x012}},
    {"anything after the end record",
     Good + End + ":02001000AABB89\n:zz\0 junk"s,
     ReadComplete,
     2,
     GoodBytes,
     {0x012}},
    {"same offset in segments 0 and 1, last wins",
     ":021234005566FD:020000021000EC" + Good + End,
     ReadComplete,
     4,
     {{0x1234, 1}, {0x1235, 2}, {0x1236, 3}, {0x1237, 4}},
     {0x012, 0x112}},
    {"record of no data bytes", ":0000000000" + End, ReadComplete, 2, {}, {}},
    {"record past 0xFFFF wraps in its segment",
     ":0200000270008C:04FFFE00AABBCCDDF1" + End,
     ReadComplete,
     3,
     {{0x4FFFE, 0xAA}, {0x4FFFF, 0xBB}, {0x40000, 0xCC}, {0x40001, 0xDD}},
     {0x7FF, 0x700}},
    {"255-byte record in segment 3",
     ":020000023000CC" + HexRecord(0, 0xFF00, Counting(255)) + End,
     ReadComplete,
     3,
     CountingAt(0x1FF00, 255),
     {0x3FF}},
};

void ExpectDecodes(const std::vector<DecodeCase>& cases) {
  for (const auto& c : cases) {
    for (size_t chunk : {c.text.size() + 1, size_t{1}, size_t{2}, size_t{3}, size_t{7}}) {
      SCOPED_TRACE(testing::Message() << c.name << ", chunks of " << chunk);
      MemoryImage image;
      RecordingReaderHost host;
      ChunkedByteSource source(Bytes(c.text), chunk);
      EXPECT_EQ(DecodeHex(source, image, host), c.result);
      EXPECT_EQ(host.pumps, c.pumps);
      EXPECT_TRUE(host.messages.empty());
      EXPECT_TRUE(ImageHolds(image, c.bytes, c.pages));
    }
  }
}

TEST(DecodeHex, RefusesEveryKindOfMalformedFile) {
  ExpectDecodes(Malformed);
}

TEST(DecodeHex, ReadsWellFormedFiles) {
  ExpectDecodes(WellFormed);
}

// Each record's data are in the image by the time the next record's event-loop turn runs, so a
// command run from there sees every finished record; a bad record's bytes never appear.
TEST(DecodeHex, StoresEachRecordBeforeTheNextTurnOfTheEventLoop) {
  const std::string text = Good + ":020000005AA5FE" + End;
  MemoryImage image;
  RecordingReaderHost host;
  std::vector<int> seen;
  host.onPump = [&] { seen.push_back(image.ImageByte(0x1234) + (image.IsPageUsed(0) ? 1000 : 0)); };
  MemoryByteSource source(Bytes(text));
  EXPECT_EQ(DecodeHex(source, image, host), InvalidHexFormat);
  EXPECT_EQ(seen, (std::vector<int>{0xFF, 0x01}));
  EXPECT_FALSE(image.IsPageUsed(0));
}

// Where a read stopped and why, as the user sees it: the line of the failing record and the fault,
// the same whatever the chunking.
TEST(DecodeHex, DetailNamesTheLineAndTheFault) {
  const std::string type04 =
      "record type 04 (extended linear address): this loader reads 20-bit segment addressing only (types 00, "
      "01, 02); the data spans 0x01234-0x01237; convert it with: srec_cat FILE.hex -intel "
      "-disable=exec-start-address -o FILE-kv6193.hex -intel -address-length=3";
  const struct {
    std::string text;
    uint32_t line;
    std::string detail;
  } rows[] = {
      {Good + End, 0, ""},
      {Good + Good + ":0412340001020304AD\r\n" + End, 3, "checksum AD, expected AC"},
      {Good + "\n" + ":020000005aA5FF" + End, 3,
       "lower-case digit 'a'; this loader reads upper-case hex digits only; upper-case them with: "
       "tr a-f A-F < FILE.hex > FILE-kv6193.hex"},
      {Good + ":02000000G0A5FF" + End, 2, "bad character 'G' in a record"},
      {Good + ":0200\x01" + End, 2, "bad character 0x01 in a record"},
      {Good + ":020000005A\r\n" + End, 2, "record cut short"},
      {Good + ":020000005A" + End, 2, "record cut short"},
      {Good + ":020000005AA5", 2, "record cut short by the end of the file"},
      {Good + ":0200000280007C" + End, 2,
       "segment value 8000; this loader takes 0000 to 7000 in steps of 1000"},
      {Good + ":020000040001F9" + End, 2, type04},
      {":0400000300001000E9\n", 1,
       "record type 03 (start address): this loader reads types 00, 01 and 02 only; delete the start-address "
       "record, or convert the file with: srec_cat FILE.hex -intel -disable=exec-start-address -o "
       "FILE-kv6193.hex -intel -address-length=3"},
      {":00000007F9", 1,
       "record type 07 is not an Intel HEX record type; this loader reads types 00, 01 and 02"},
      {Good + ":00000101FE", 2, "bad end record; it must read :00000001FF"},
      {Good + Good, 2, "the file ends without an end record (:00000001FF)"},
      {Good + Good + "\r\n  \r\n\t\n\n", 2, "the file ends without an end record (:00000001FF)"},
      {Good + "\r\n; end\r\n\r\n", 3, "the file ends without an end record (:00000001FF)"},
      {"\n\n", 0, "the file ends without an end record (:00000001FF)"},
      {"", 0, "the file ends without an end record (:00000001FF)"},
      {Good + "\0"s + End, 2, "zero byte before the end record"},
  };
  for (const auto& row : rows) {
    for (size_t chunk : {row.text.size() + 1, size_t{1}, size_t{5}}) {
      SCOPED_TRACE(testing::Message() << row.text << ", chunks of " << chunk);
      MemoryImage image;
      RecordingReaderHost host;
      ChunkedByteSource source(Bytes(row.text), chunk);
      HexReadDetail detail{99, "stale"};
      DecodeHex(source, image, host, &detail);
      EXPECT_EQ(detail.line, row.line);
      EXPECT_EQ(detail.text, row.detail);
    }
  }
}

// Passes the input on, but cannot start it over (a pipe).
class OneWaySource : public ByteSource {
 public:
  explicit OneWaySource(ByteSource& source) : source_(source) {}
  std::span<const uint8_t> NextChunk() override { return source_.NextChunk(); }

 private:
  ByteSource& source_;
};

// The advice after a refusal comes from the whole file, what lies before the refused record included,
// whatever the chunking: the data's span and how far it must move, and the file's name as given
// (FILE.hex where no quoting carries it). The commands themselves, quoting included, are run on real
// files with the real tools (hex_advice_test).
TEST(DecodeHex, AdviceComesFromTheWholeFile) {
  const auto line = [](uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    return HexRecord(type, address, data) + "\r\n";
  };
  const std::string start03 = ":0400000300001000E9\n";
  const std::string convert = " -disable=exec-start-address -o ";
  const struct {
    std::string text;
    std::string name;
    bool oneWay;
    std::string advice;  // the end of the detail
  } rows[] = {
      {line(4, 0, {0x08, 0x00}) + line(0, 0, {1, 2}) + line(4, 0, {0x08, 0x01}) +
           line(0, 0xFFF0, Counting(16)) + line(5, 0, {0x08, 0, 1, 0x31}) + End,
       "build/app.hex", false,
       "; the data spans 0x08000000-0x0801FFFF; move it down and convert it with: srec_cat build/app.hex "
       "-intel -offset -0x08000000" +
           convert + "build/app-kv6193.hex -intel -address-length=3"},
      {line(4, 0, {0x08, 0x00}) + line(0, 0, {1, 2}) + line(4, 0, {0x08, 0x08}) + line(0, 0, {1, 2}) + End,
       "", false, "; the data spans 0x08000000-0x08080001, more than this device's 512 KiB"},
      {Good + line(4, 0, {0x00, 0x01}) + line(0, 0, {1, 2}) + End, "", false,
       "; the data spans 0x01234-0x10001; convert it with: srec_cat FILE.hex -intel" + convert +
           "FILE-kv6193.hex -intel -address-length=3"},
      {Lower(line(2, 0, {0x80, 0}) + line(0, 0x10, {1, 2})) + End, "", false,
       "; the data spans 0x80010-0x80011; move it down and convert it with: srec_cat FILE.hex -intel -offset "
       "-0x80000" +
           convert + "FILE-kv6193.hex -intel -address-length=3"},
      {start03, "v1.2/fw", false,
       "srec_cat v1.2/fw -intel" + convert + "v1.2/fw-kv6193.hex -intel -address-length=3"},
      {start03, "C:\\fw\\app.ihx", false,
       "srec_cat C:\\fw\\app.ihx -intel" + convert + "C:\\fw\\app-kv6193.ihx -intel -address-length=3"},
      {start03, "fw$1.hex", false,
       "srec_cat FILE.hex -intel" + convert + "FILE-kv6193.hex -intel -address-length=3"},
      {Good + line(4, 0, {0x08, 0x00}) + End, "fw.hex", true,
       "; convert it with: srec_cat FILE.hex -intel" + convert +
           "FILE-kv6193.hex -intel -address-length=3 (this input cannot be read twice, so its addresses are "
           "unknown: data above 0x7FFFF also need -offset -0x... after -intel)"},
  };
  for (const auto& row : rows) {
    for (size_t chunk : {row.text.size() + 1, size_t{1}, size_t{5}}) {
      SCOPED_TRACE(testing::Message() << row.text << row.name << ", chunks of " << chunk);
      MemoryImage image;
      RecordingReaderHost host;
      ChunkedByteSource chunked(Bytes(row.text), chunk);
      OneWaySource oneWay(chunked);
      HexReadDetail detail;
      DecodeHex(row.oneWay ? static_cast<ByteSource&>(oneWay) : chunked, image, host, &detail, row.name);
      EXPECT_TRUE(detail.text.ends_with(row.advice)) << detail.text;
    }
  }
}

// Every character of a long record is judged, wherever it falls among the digits read together: a
// near miss anywhere fails the record with the same detail as when the record comes one byte at a time.
TEST(DecodeHex, ANearMissAnywhereInARecordFailsIt) {
  const std::string record = ":10123400000102030405060708090A0B0C0D0E0F32";
  const std::string good = Good + record + "\r\n" + End;
  {
    MemoryImage image;
    RecordingReaderHost host;
    MemoryByteSource source(Bytes(good));
    ASSERT_EQ(DecodeHex(source, image, host), ReadComplete);
  }
  for (size_t at = 1; at < record.size(); ++at) {
    for (const char c : {'/', ':', '@', 'G', '`', 'a', 'f', ' ', '\0', '\xB0', '\xC1', '\xFF'}) {
      std::string text = good;
      text[Good.size() + at] = c;
      SCOPED_TRACE(testing::Message() << "character " << int(uint8_t(c)) << " at " << at);
      HexReadDetail whole;
      HexReadDetail bytewise;
      MemoryImage image;
      RecordingReaderHost host;
      MemoryByteSource all(Bytes(text));
      EXPECT_EQ(DecodeHex(all, image, host, &whole), InvalidHexFormat);
      EXPECT_TRUE(ImageHolds(image, GoodBytes, {0x012}));
      ChunkedByteSource single(Bytes(text), 1);
      DecodeHex(single, image, host, &bytewise);
      EXPECT_EQ(whole.line, 2u);
      EXPECT_EQ(whole.text, bytewise.text);
    }
  }
}

}  // namespace
}  // namespace kv::test
