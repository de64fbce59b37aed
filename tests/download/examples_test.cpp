// Loads every example HEX file that ships with the program and checks what its README promises:
// the reader's result, the kind of the loaded image and how many pages it uses.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "download/file_kind.h"
#include "image/hex_reader.h"
#include "tests/support/reader_host.h"

namespace kv {
namespace {

struct ExampleCase {
  std::string file;
  HexReadResult result;
  FileKind kind;
  uint16_t regionMask;
  uint16_t usedPages;
};

const std::vector<ExampleCase> Examples = {
    {"sector0.hex", ReadComplete, FileKind::Sector0, 0x001, 16},
    {"sector1.hex", ReadComplete, FileKind::Sector1, 0x002, 9},
    {"multisector.hex", ReadComplete, FileKind::MultiSector, 0x40C, 8},
    {"multisector_full.hex", ReadComplete, FileKind::MultiSector, 0x43C, 1088},
    {"sector9.hex", ReadComplete, FileKind::Sector9, 0x200, 32},
    {"bad_checksum.hex", InvalidHexFormat, FileKind::Sector0, 0x001, 1},
    {"no_end_record.hex", InvalidHexFormat, FileKind::Sector0, 0x001, 2},
    {"bad_segment.hex", IllegalSegmentAlignment, FileKind::Sector0, 0x001, 1},
    {"unsupported_type.hex", UnsupportedRecordType, FileKind::Sector0, 0x001, 1},
    {"lowercase.hex", InvalidHexFormat, FileKind::Empty, 0x000, 0},
    {"unknown_kind.hex", ReadComplete, FileKind::Unknown, 0x003, 2},
    {"empty.hex", ReadComplete, FileKind::Empty, 0x000, 0},
};

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Examples, EachLoadsWithItsDocumentedResultAndKind) {
  for (const ExampleCase& example : Examples) {
    const std::vector<uint8_t> bytes = FileBytes(std::string(KV_EXAMPLES_DIR) + "/" + example.file);
    ASSERT_FALSE(bytes.empty()) << example.file << " is missing";
    MemoryImage image;
    test::RecordingReaderHost host;
    MemoryByteSource source(bytes);
    EXPECT_EQ(DecodeHex(source, image, host), example.result) << example.file;
    const Classification c = ClassifyImage(image.Pages());
    EXPECT_EQ(c.kind, example.kind) << example.file << ": " << FileKindName(c.kind);
    EXPECT_EQ(c.regionMask, example.regionMask) << example.file;
    EXPECT_EQ(c.usedPageCount, example.usedPages) << example.file;
  }
}

// The sample files are meant to be read by people and other tools too: upper-case digits only
// (except the one file that shows they are refused), records of at most 16 data bytes, and the
// standard end record as the last line.
TEST(Examples, AreWrittenInThePlainestForm) {
  for (const ExampleCase& example : Examples) {
    const std::vector<uint8_t> bytes = FileBytes(std::string(KV_EXAMPLES_DIR) + "/" + example.file);
    const std::string text(bytes.begin(), bytes.end());
    size_t lines = 0;
    std::string last;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      at = end + 1;
      ++lines;
      ASSERT_FALSE(line.empty()) << example.file << " line " << lines;
      ASSERT_EQ(line[0], ':') << example.file << " line " << lines;
      ASSERT_LE(line.size(), 1 + 2 * (1 + 2 + 1 + 16 + 1)) << example.file << " line " << lines;
      if (example.file != "lowercase.hex") {
        ASSERT_EQ(line.find_first_not_of("0123456789ABCDEF", 1), std::string::npos)
            << example.file << " line " << lines;
      }
      last = line;
    }
    const bool hasEnd = example.file != "no_end_record.hex";
    const std::string end = example.file == "lowercase.hex" ? ":00000001ff" : ":00000001FF";
    EXPECT_EQ(last == end, hasEnd) << example.file;
  }
}

}  // namespace
}  // namespace kv
