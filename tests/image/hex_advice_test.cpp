// The advice's commands, run: for each shape of file that the reader refuses and a tool can mend, the
// command in the detail is run by the shell with the real srec_cat or tr, and the file it writes loads
// completely, holding the data where the advice said (moved down by the offset it named).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/hex_reader.h"
#include "tests/image/hex_test_util.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

bool Installed(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// As linkers and srec_cat write it: a type 04 record wherever the upper 16 address bits change, up to
// 16 bytes per data record; `beforeEnd` goes just before the end record.
std::string LinearHexText(const FileData& data, const std::string& beforeEnd = "") {
  std::string text;
  int64_t upper = -1;
  for (auto it = data.begin(); it != data.end();) {
    const uint32_t start = it->first;
    if (start >> 16 != upper) {
      upper = start >> 16;
      text += HexRecord(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}) + "\n";
    }
    std::vector<uint8_t> bytes;
    for (uint32_t next = start;
         it != data.end() && it->first == next && bytes.size() < 16 && next >> 16 == upper; ++it, ++next) {
      bytes.push_back(it->second);
    }
    text += HexRecord(0x00, static_cast<uint16_t>(start), bytes) + "\n";
  }
  return text + beforeEnd + ":00000001FF\n";
}

// `beforeEnd` just before the end record of a segment-addressed file.
std::string WithBeforeEnd(std::string text, const std::string& beforeEnd) {
  return text.insert(text.find(":00000001FF"), beforeEnd);
}

FileData Blocks(std::initializer_list<std::pair<uint32_t, uint32_t>> blocks) {
  FileData data;
  uint8_t seed = 0;
  for (const auto& [address, count] : blocks) AddBytes(data, address, count, seed += 0x40);
  return data;
}

struct Shape {
  const char* what;
  std::string text;
  const FileData& data;
  uint32_t moved;  // how far the advice moves the data down
};

// Loads the file, runs the command that ends the detail, and loads what it wrote beside the file.
void RunAdvice(const std::filesystem::path& dir, const Shape& shape) {
  SCOPED_TRACE(shape.what);
  const std::filesystem::path in = dir / "in.hex";
  const std::filesystem::path out = dir / "in-kv6193.hex";
  std::filesystem::remove(out);
  std::ofstream(in, std::ios::binary) << shape.text;
  MemoryImage image;
  SystemTime time;
  RecordingReaderHost host;
  HexReadDetail detail;
  ASSERT_NE(ReadHexFile(in.c_str(), image, time, host, &detail), ReadComplete);
  const size_t command = detail.text.rfind("with: ");
  ASSERT_NE(command, std::string::npos) << detail.text;
  ASSERT_EQ(std::system(detail.text.substr(command + 6).c_str()), 0) << detail.text;

  ASSERT_EQ(ReadHexFile(out.c_str(), image, time, host, &detail), ReadComplete) << detail.text;
  std::vector<StoredByte> bytes;
  std::vector<uint32_t> pages;
  for (const auto& [address, value] : shape.data) {
    const uint32_t device = address - shape.moved;
    bytes.push_back({MemoryImage::ImageOffset(device >> 16, device & 0xFFFF), value});
    pages.push_back(device >> 8);
  }
  EXPECT_TRUE(ImageHolds(image, bytes, pages));
}

TEST(HexAdvice, EachCommandWritesAFileTheReaderTakes) {
  if (!Installed("srec_cat")) GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  // A folder whose name holds a blank: the quoting in the commands is tried too.
  char pattern[] = "/tmp/kv advice XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string start05 = HexRecord(0x05, 0, {0x08, 0x00, 0x01, 0x31}) + "\n";
  const std::string start03 = HexRecord(0x03, 0, {0x30, 0x00, 0x01, 0x00}) + "\n";
  // Data in segments 0, 3, 4, 5 and 7 only, which have banks of their own in the image.
  const FileData linearHigh = Blocks({{0x08000000, 0x30}, {0x08030000, 0x10}});
  const FileData linearLow = Blocks({{0x00100, 0x20}, {0x4FFF8, 0x10}});
  const FileData crossing = Blocks({{0x0807FF00, 0x100}, {0x08080000, 0x10}});
  const FileData segmented = Blocks({{0x00000, 0x10}, {0x30100, 0x20}});
  const Shape shapes[] = {
      {"linear, 128 MiB up, start address", LinearHexText(linearHigh, start05), linearHigh, 0x08000000},
      {"linear, below 512 KiB", LinearHexText(linearLow), linearLow, 0},
      {"linear, across a 512 KiB boundary", LinearHexText(crossing), crossing, 0x0807FF00},
      {"segments, start address", WithBeforeEnd(HexText(segmented), start03), segmented, 0},
      {"lower case", Lower(HexText(segmented)), segmented, 0},
      {"lower case, start address", Lower(WithBeforeEnd(HexText(segmented), start03)), segmented, 0},
  };
  for (const Shape& shape : shapes) RunAdvice(dir, shape);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kv::test
