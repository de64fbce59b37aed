// The memory image: bank sharing, page numbering, and arguments out of range staying inside.
#include "image/memory_image.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/image/hex_test_util.h"

namespace kv::test {
namespace {

TEST(MemoryImage, ResetErasesEveryByteAndClearsEveryPage) {
  MemoryImage image;
  EXPECT_TRUE(ImageHolds(image, {}, {}));
  image.StoreByte(7, 0xFFFF, 0x00);
  image.SetImageByte(0, 0x12);
  image.MarkPageUsed(0x3FF);
  image.ResetImage();
  EXPECT_TRUE(ImageHolds(image, {}, {}));
}

TEST(MemoryImage, EachSegmentLandsInItsBankAndMarksItsOwnPage) {
  struct Row {
    uint32_t segment, imageOffset, page;
  };
  for (const Row& r :
       {Row{0, 0x01234, 0x012}, Row{1, 0x01234, 0x112}, Row{2, 0x01234, 0x212}, Row{3, 0x11234, 0x312},
        Row{4, 0x21234, 0x412}, Row{5, 0x31234, 0x512}, Row{6, 0x01234, 0x612}, Row{7, 0x41234, 0x712}}) {
    SCOPED_TRACE(r.segment);
    MemoryImage image;
    image.StoreByte(r.segment, 0x1234, 0x5A);
    EXPECT_TRUE(ImageHolds(image, {{r.imageOffset, 0x5A}}, {r.page}));
  }
}

TEST(MemoryImage, SegmentsSharingBankZeroOverwriteOneAnotherButKeepTheirPages) {
  MemoryImage image;
  image.StoreByte(1, 0x1234, 0x55);
  image.StoreByte(0, 0x1234, 0xAA);
  EXPECT_TRUE(ImageHolds(image, {{0x1234, 0xAA}}, {0x012, 0x112}));  // page 0x612 stays unused
}

TEST(MemoryImage, LastByteOfTheImageAndAPartlyFilledPage) {
  MemoryImage image;
  image.StoreByte(7, 0xFFFF, 0x42);
  image.StoreByte(3, 0x0010, 0x00);
  EXPECT_TRUE(ImageHolds(image, {{0x4FFFF, 0x42}, {0x10010, 0x00}}, {2047, 0x300}));
}

TEST(MemoryImage, PageOffsets) {
  struct Row {
    uint32_t page, offset;
  };
  for (const Row& r : {Row{0x000, 0x00000}, Row{0x1FF, 0x0FF00}, Row{0x300, 0x10000}, Row{0x3FF, 0x1FF00},
                       Row{0x600, 0x00000}, Row{0x7A0, 0x4A000}, Row{0x7FF, 0x4FF00}}) {
    EXPECT_EQ(MemoryImage::PageOffset(r.page), r.offset) << std::hex << r.page;
  }
}

// Out-of-range arguments are folded into range or ignored; nothing outside the image or map changes.
TEST(MemoryImage, OutOfRangeArgumentsStayInside) {
  MemoryImage image;
  image.StoreByte(9, 0x12345, 0x11);      // segment 9 folds to 1, offset to 0x2345
  image.SetImageByte(ImageSize, 0x22);    // ignored
  image.SetImageByte(0xFFFFFFFF, 0x33);   // ignored
  image.MarkPageUsed(PageCount + 0x7FF);  // folds to page 0x7FF
  EXPECT_TRUE(ImageHolds(image, {{0x2345, 0x11}}, {0x123, 0x7FF}));
  EXPECT_EQ(image.ImageByte(ImageSize), ErasedByte);
  EXPECT_EQ(image.ImageByte(0xFFFFFFFF), ErasedByte);
  EXPECT_TRUE(image.IsPageUsed(0x123 + 4 * PageCount));
  EXPECT_LE(MemoryImage::PageOffset(0xFFFFFFFF) + PageSize, ImageSize);
  EXPECT_LT(MemoryImage::ImageOffset(0xFFFFFFFF, 0xFFFFFFFF), ImageSize);
}

// A run of bytes lands exactly where the same bytes stored one by one land, wrapping past 0xFFFF to the
// start of its segment and marking every page it touches.
TEST(MemoryImage, StoringARunEqualsStoringItsBytesOneByOne) {
  struct Row {
    uint32_t segment, offset, count;
  };
  uint8_t data[255];
  for (uint32_t i = 0; i < 255; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  for (const Row& r : {Row{3, 0x10F0, 16}, Row{3, 0x10F8, 16}, Row{7, 0xFFF8, 16}, Row{0, 0xFF01, 255},
                       Row{6, 0x0000, 0}, Row{9, 0x1FFF0, 32}, Row{5, 0x8000, 255}}) {
    SCOPED_TRACE(testing::Message() << r.segment << " " << std::hex << r.offset << " " << r.count);
    MemoryImage run;
    MemoryImage bytes;
    run.StoreBytes(r.segment, r.offset, data, r.count);
    for (uint32_t i = 0; i < r.count; ++i) bytes.StoreByte(r.segment, (r.offset + i) & 0xFFFF, data[i]);
    EXPECT_EQ(std::memcmp(run.PageData(0), bytes.PageData(0), ImageSize), 0);
    for (uint32_t page = 0; page < PageCount; ++page) {
      EXPECT_EQ(run.IsPageUsed(page), bytes.IsPageUsed(page)) << std::hex << page;
    }
  }
}

// A copy is a separate image: sealing one device's copy must not touch another's, and a copy
// assigned over an older image keeps nothing of it.
TEST(MemoryImage, CopiesAreIndependent) {
  MemoryImage from;
  from.StoreByte(0, 0x0010, 0x12);
  from.StoreByte(7, 0xFFFF, 0x34);
  MemoryImage copy(from);
  MemoryImage assigned;
  assigned.StoreByte(3, 0x0000, 0x56);  // left over from before: must go
  assigned = from;
  copy.SetImageByte(0x0010, 0x99);
  copy.MarkPageUsed(0x300);
  EXPECT_TRUE(ImageHolds(from, {{0x0010, 0x12}, {0x4FFFF, 0x34}}, {0x000, 0x7FF}));
  EXPECT_TRUE(ImageHolds(assigned, {{0x0010, 0x12}, {0x4FFFF, 0x34}}, {0x000, 0x7FF}));
}

}  // namespace
}  // namespace kv::test
