// Property tests: random images written as HEX read back byte for byte and page flag for page flag,
// whole and in random chunks; and every prefix of a file keeps exactly its complete records.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "image/hex_reader.h"
#include "tests/image/hex_test_util.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

// The bank of each segment, written out independently of the image's own table.
constexpr uint32_t ExpectedBankBase[8] = {0x00000, 0x00000, 0x00000, 0x10000,
                                          0x20000, 0x30000, 0x00000, 0x40000};

struct WrittenRecord {
  size_t end;  // text position just after its checksum
  std::vector<StoredByte> bytes;
  std::vector<uint32_t> pages;
};

struct HexFile {
  std::string text;
  std::vector<WrittenRecord> records;  // data records only, in file order
};

// Random blocks in random segments (each kept inside its segment), cut into records of `recordSize`,
// with type 02 records where the segment changes and now and then where it does not.
HexFile RandomHexFile(std::mt19937& rng, size_t recordSize, int blocks) {
  static const char* const separators[] = {"\r\n", "\n", "", " \r\n"};
  HexFile file;
  uint32_t current = 0;
  for (int b = 0; b < blocks; ++b) {
    const uint32_t segment = rng() % 8;
    const uint32_t length = 1 + rng() % 600;
    uint32_t offset = rng() % (0x10000 - length + 1);
    if (segment != current || rng() % 4 == 0) {
      file.text += HexRecord(0x02, 0, {static_cast<uint8_t>(segment << 4), 0}) + separators[rng() % 4];
      current = segment;
    }
    for (uint32_t left = length; left > 0;) {
      const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(recordSize));
      WrittenRecord record;
      std::vector<uint8_t> data(n);
      for (uint32_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>(rng());
        record.bytes.push_back({ExpectedBankBase[segment] + offset + i, data[i]});
        record.pages.push_back(segment * 256 + ((offset + i) >> 8));
      }
      file.text += HexRecord(0x00, static_cast<uint16_t>(offset), data);
      record.end = file.text.size();
      file.text += separators[rng() % 4];
      file.records.push_back(std::move(record));
      offset += n;
      left -= n;
    }
  }
  file.text += ":00000001FF\r\n";
  return file;
}

// What the image must hold after the records that end at or before `limit`.
void ExpectedAfter(const HexFile& file, size_t limit, std::vector<StoredByte>& bytes,
                   std::vector<uint32_t>& pages) {
  for (const auto& r : file.records) {
    if (r.end > limit) break;
    bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
    pages.insert(pages.end(), r.pages.begin(), r.pages.end());
  }
}

TEST(HexRoundTrip, RandomImagesReadBackExactly) {
  std::mt19937 rng(6193);
  for (int trial = 0; trial < 24; ++trial) {
    const size_t recordSize = trial % 2 ? 32 : 16;
    const HexFile file = RandomHexFile(rng, recordSize, 1 + static_cast<int>(rng() % 40));
    std::vector<StoredByte> bytes;
    std::vector<uint32_t> pages;
    ExpectedAfter(file, file.text.size(), bytes, pages);
    const size_t chunk = trial % 3 == 0 ? file.text.size() : 1 + rng() % 97;
    SCOPED_TRACE(testing::Message() << "trial " << trial << ", chunks of " << chunk);

    MemoryImage image;
    RecordingReaderHost host;
    ChunkedByteSource source(Bytes(file.text), chunk);
    EXPECT_EQ(DecodeHex(source, image, host), ReadComplete);
    EXPECT_TRUE(ImageHolds(image, bytes, pages));
  }
}

// A file cut anywhere is refused, and holds exactly the records that were complete before the cut:
// never part of a record.
TEST(HexRoundTrip, EveryPrefixKeepsOnlyItsCompleteRecords) {
  std::mt19937 rng(7);
  const HexFile file = RandomHexFile(rng, 16, 3);
  const size_t endRecord = file.text.rfind(':');
  MemoryImage image;
  for (size_t cut = 0; cut < file.text.size(); ++cut) {
    SCOPED_TRACE(testing::Message() << "cut at " << cut << " of " << file.text.size());
    std::vector<StoredByte> bytes;
    std::vector<uint32_t> pages;
    ExpectedAfter(file, cut, bytes, pages);
    const std::string prefix = file.text.substr(0, cut);
    image.ResetImage();
    RecordingReaderHost host;
    MemoryByteSource source(Bytes(prefix));
    EXPECT_EQ(DecodeHex(source, image, host), cut >= endRecord + 11 ? ReadComplete : InvalidHexFormat);
    ASSERT_TRUE(ImageHolds(image, bytes, pages));
  }
}

}  // namespace
}  // namespace kv::test
