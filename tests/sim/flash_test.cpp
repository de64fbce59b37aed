// The simulated flash: which bytes each erase code clears, and the 1 -> 0 programming rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/flash.h"

namespace kv::sim {
namespace {

struct SectorRow {
  uint8_t code;
  uint32_t start;
  uint32_t end;  // one past the last byte
};

// The device's layout, written out by address rather than taken from the code under test.
const SectorRow Sectors[] = {
    {0, 0x00000, 0x10000},  {8, 0x10000, 0x20000},  {16, 0x20000, 0x30000}, {24, 0x30000, 0x40000},
    {32, 0x40000, 0x50000}, {40, 0x50000, 0x60000}, {48, 0x60000, 0x70000}, {56, 0x70000, 0x78000},
    {60, 0x78000, 0x7A000}, {61, 0x7A000, 0x7C000}, {62, 0x7C000, 0x80000},
};

TEST(SimFlash, EachEraseCodeClearsExactlyItsSector) {
  for (const SectorRow& row : Sectors) {
    Flash flash;
    std::memset(flash.data(), 0x00, FlashSize);
    ASSERT_TRUE(flash.EraseSector(row.code)) << int(row.code);
    size_t erased = 0;
    for (uint32_t a = 0; a < FlashSize; ++a) {
      const bool inside = a >= row.start && a < row.end;
      if (flash.at(a) == 0xFF) ++erased;
      if (inside != (flash.at(a) == 0xFF)) {
        ADD_FAILURE() << "code " << int(row.code) << " address 0x" << std::hex << a;
        break;
      }
    }
    EXPECT_EQ(erased, row.end - row.start) << int(row.code);
  }
}

TEST(SimFlash, CodesThatNameNoSectorChangeNothing) {
  for (int code : {1, 7, 9, 47, 49, 55, 57, 59, 63, 64, 0x80, 0xFF}) {
    Flash flash;
    std::memset(flash.data(), 0x00, FlashSize);
    EXPECT_FALSE(flash.EraseSector(static_cast<uint8_t>(code))) << code;
    EXPECT_EQ(std::count(flash.data(), flash.data() + FlashSize, 0x00), static_cast<long>(FlashSize)) << code;
  }
}

TEST(SimFlash, ProgrammingOnlyClearsBitsAndReportsAnyBitThatHadToRise) {
  struct Row {
    const char* name;
    uint8_t before;
    uint8_t data;
    uint8_t after;
    bool accepted;
  };
  const Row rows[] = {
      {"erased cell takes any value", 0xFF, 0x3C, 0x3C, true},
      {"clearing more bits", 0xF0, 0x30, 0x30, true},
      {"same value again", 0x5A, 0x5A, 0x5A, true},
      {"0xFF over data changes nothing", 0x12, 0xFF, 0x12, false},
      {"disjoint bits end as AND", 0xF0, 0x0F, 0x00, false},
      {"one bit must rise", 0xFE, 0x7F, 0x7E, false},
  };
  for (const Row& row : rows) {
    Flash flash;
    std::memset(flash.data() + 0x300, row.before, 256);
    const std::vector<uint8_t> data(256, row.data);
    EXPECT_EQ(flash.ProgramPage(3, data.data()), row.accepted) << row.name;
    EXPECT_EQ(flash.at(0x300), row.after) << row.name;
    EXPECT_EQ(flash.at(0x3FF), row.after) << row.name;
    EXPECT_EQ(flash.at(0x2FF), 0xFF) << row.name;
    EXPECT_EQ(flash.at(0x400), 0xFF) << row.name;
  }
}

TEST(SimFlash, OneRisingBitAnywhereInThePageFailsTheWholePage) {
  Flash flash;
  std::vector<uint8_t> data(256, 0x00);
  ASSERT_TRUE(flash.ProgramPage(0x10, data.data()));
  data.assign(256, 0x00);
  data[200] = 0x01;
  EXPECT_FALSE(flash.ProgramPage(0x10, data.data()));
  EXPECT_EQ(flash.at(0x1000 + 200), 0x00);
}

TEST(SimFlash, PageNumbersKeepElevenBits) {
  struct Row {
    uint16_t page;
    uint32_t address;
  };
  for (const Row& row :
       {Row{0x000, 0x00000}, Row{0x7FF, 0x7FF00}, Row{0x800, 0x00000}, Row{0xFFA0, 0x7A000}}) {
    Flash flash;
    const std::vector<uint8_t> data(256, 0x11);
    flash.ProgramPage(row.page, data.data());
    EXPECT_EQ(flash.at(row.address), 0x11) << row.page;
    EXPECT_EQ(flash.at(row.address + 255), 0x11) << row.page;
    EXPECT_EQ(std::count(flash.data(), flash.data() + FlashSize, 0x11), 256) << row.page;
  }
}

}  // namespace
}  // namespace kv::sim
