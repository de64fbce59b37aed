#include "download/file_kind.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace kv {
namespace {

PageMap MapWith(std::initializer_list<uint16_t> usedPages) {
  PageMap pages;
  for (uint16_t page : usedPages) pages.MarkPageUsed(page);
  return pages;
}

struct ClassifyCase {
  std::string name;
  std::vector<uint16_t> used;
  uint16_t mask;
  uint16_t count;
  FileKind kind;
};

TEST(ClassifyImage, MaskCountAndKindFollowTheUsedPages) {
  const std::vector<ClassifyCase> cases = {
      {"empty map", {}, 0x000, 0, FileKind::Empty},
      // Every accepted combination, and the count over several pages.
      {"four pages of sector 0", {0, 1, 128, 255}, 0x001, 4, FileKind::Sector0},
      {"sectors 2 and 10", {512, 2047}, 0x404, 2, FileKind::MultiSector},
      {"sectors 2, 3, 10", {767, 768, 2000}, 0x40C, 3, FileKind::MultiSector},
      {"sectors 2, 3, 4, 10", {600, 800, 1100, 1984}, 0x41C, 4, FileKind::MultiSector},
      {"sectors 2 to 5 and 10", {512, 768, 1024, 1280, 1984}, 0x43C, 5, FileKind::MultiSector},
      {"whole of sector 9", {1952, 1960, 1970, 1983}, 0x200, 4, FileKind::Sector9},
      // Near misses.
      {"sectors 0 and 1", {0, 256}, 0x003, 2, FileKind::Unknown},
      {"gap at sector 4", {512, 768, 1280, 1984}, 0x42C, 4, FileKind::Unknown},
      {"sectors 2, 3 without 10", {512, 768}, 0x00C, 2, FileKind::Unknown},
      {"sector 4 without 3", {512, 1024, 1984}, 0x414, 3, FileKind::Unknown},
      {"multisector plus page 1919", {512, 1984, 1919}, 0x484, 3, FileKind::Unknown},
      {"multisector plus page 1920", {512, 1984, 1920}, 0x504, 3, FileKind::Unknown},
      {"sector 9 plus page 1951", {1952, 1951}, 0x300, 2, FileKind::Unknown},
      {"sector 9 plus sector 10", {1983, 1984}, 0x600, 2, FileKind::Unknown},
      {"sector 0 plus segment 6", {0, 1536}, 0x041, 2, FileKind::Unknown},
      {"sector 1 plus sector 2", {511, 512}, 0x006, 2, FileKind::Unknown},
  };
  for (const ClassifyCase& c : cases) {
    PageMap pages;
    for (uint16_t page : c.used) pages.MarkPageUsed(page);
    const Classification result = ClassifyImage(pages);
    EXPECT_EQ(result.regionMask, c.mask) << c.name;
    EXPECT_EQ(result.usedPageCount, c.count) << c.name;
    EXPECT_EQ(result.kind, c.kind) << c.name << ": got " << FileKindName(result.kind);
  }
}

// The first and the last page of every sector, each on its own, set that sector's bit and no other.
TEST(ClassifyImage, EdgePagesOfEachSectorSetItsBit) {
  struct Edge {
    uint16_t firstPage, lastPage, mask;
    FileKind kindAlone;
  };
  const Edge edges[] = {
      {0, 255, 0x001, FileKind::Sector0},     {256, 511, 0x002, FileKind::Sector1},
      {512, 767, 0x004, FileKind::Unknown},   {768, 1023, 0x008, FileKind::Unknown},
      {1024, 1279, 0x010, FileKind::Unknown}, {1280, 1535, 0x020, FileKind::Unknown},
      {1536, 1791, 0x040, FileKind::Unknown}, {1792, 1919, 0x080, FileKind::Unknown},
      {1920, 1951, 0x100, FileKind::Unknown}, {1952, 1983, 0x200, FileKind::Sector9},
      {1984, 2047, 0x400, FileKind::Unknown},  // sector 10 counts only together with sector 2
  };
  for (const Edge& e : edges) {
    for (uint16_t page : {e.firstPage, e.lastPage}) {
      const Classification result = ClassifyImage(MapWith({page}));
      EXPECT_EQ(result.regionMask, e.mask) << "page " << page;
      EXPECT_EQ(result.usedPageCount, 1) << "page " << page;
      EXPECT_EQ(result.kind, e.kindAlone) << "page " << page;
    }
  }
}

TEST(ClassifyImage, CountsEveryPageOfAFullMap) {
  PageMap pages;
  for (uint16_t page = 0; page < PageCount; ++page) pages.MarkPageUsed(page);
  const Classification result = ClassifyImage(pages);
  EXPECT_EQ(result.regionMask, 0x7FF);
  EXPECT_EQ(result.usedPageCount, 2048);
  EXPECT_EQ(result.kind, FileKind::Unknown);
}

// Sets the mask through one page per sector and checks the kind for all 2048 masks: exactly the seven
// accepted ones and the empty mask are known; every other combination is Unknown.
TEST(ClassifyImage, OnlyTheSevenAcceptedMasksAndZeroHaveAKind) {
  const std::map<uint16_t, FileKind> accepted = {
      {0x000, FileKind::Empty},       {0x001, FileKind::Sector0},     {0x002, FileKind::Sector1},
      {0x404, FileKind::MultiSector}, {0x40C, FileKind::MultiSector}, {0x41C, FileKind::MultiSector},
      {0x43C, FileKind::MultiSector}, {0x200, FileKind::Sector9},
  };
  // A page in the middle of each sector.
  const uint16_t middlePage[11] = {100, 300, 600, 900, 1100, 1400, 1600, 1850, 1935, 1965, 2010};
  for (uint16_t mask = 0; mask < 0x800; ++mask) {
    PageMap pages;
    for (int sector = 0; sector < 11; ++sector) {
      if (mask & (1u << sector)) pages.MarkPageUsed(middlePage[sector]);
    }
    const Classification result = ClassifyImage(pages);
    ASSERT_EQ(result.regionMask, mask);
    const auto known = accepted.find(mask);
    const FileKind expected = known == accepted.end() ? FileKind::Unknown : known->second;
    ASSERT_EQ(result.kind, expected) << "mask 0x" << std::hex << mask;
  }
}

TEST(ClassifyImage, ChangesNothing) {
  const PageMap pages = MapWith({255});
  ClassifyImage(pages);
  EXPECT_FALSE(pages.IsPageUsed(0));
  EXPECT_TRUE(pages.IsPageUsed(255));
}

struct ForceCase {
  std::string name;
  std::vector<uint16_t> used;
  uint16_t firstPage;
  uint16_t countAfter;
};

TEST(ForceFirstPage, RaisesTheCountOnlyWhenThePageWasUnused) {
  const std::vector<ForceCase> cases = {
      {"sector 0, page 255 only", {255}, 0, 2},
      {"sector 0, page 0 already used", {0, 255}, 0, 2},
      {"sector 1, unused first page", {300, 400, 511}, 256, 4},
      {"multisector, first page used", {512, 1984}, 512, 2},
      {"multisector, sectors 3 and 10 data only", {513, 768, 2047}, 512, 4},
      {"sector 9, last page only", {1983}, 1952, 2},
  };
  for (const ForceCase& c : cases) {
    PageMap pages;
    for (uint16_t page : c.used) pages.MarkPageUsed(page);
    const Classification before = ClassifyImage(pages);
    const uint16_t count = ForceFirstPage(pages, c.firstPage, before.usedPageCount);
    EXPECT_EQ(count, c.countAfter) << c.name;
    EXPECT_TRUE(pages.IsPageUsed(c.firstPage)) << c.name;
    // The returned count is the real number of used pages, and the kind is unchanged.
    const Classification after = ClassifyImage(pages);
    EXPECT_EQ(after.usedPageCount, count) << c.name;
    EXPECT_EQ(after.regionMask, before.regionMask) << c.name;
    // Forcing again (a second Send of the same load) counts the same.
    EXPECT_EQ(ForceFirstPage(pages, c.firstPage, count), count) << c.name;
  }
}

struct ExpectedErase {
  int sector;
  int code;
  std::string text;
};
struct ExpectedProgram {
  int sector;
  int firstPage;
  int lastPage;
  std::string text;
};
struct PlanCase {
  FileKind kind;
  int firstPage;
  std::vector<ExpectedErase> erase;
  std::vector<ExpectedProgram> program;
  bool finish;
};

TEST(PlanFor, EachKindErasesAndProgramsItsSectorsInOrder) {
  const std::vector<PlanCase> cases = {
      {FileKind::Sector0, 0, {{0, 0, "Erasing sector #0..."}}, {{0, 0, 255, "Programming sector #0"}}, true},
      {FileKind::Sector1,
       256,
       {{1, 8, "Erasing sector #1..."}},
       {{1, 256, 511, "Programming sector #1"}},
       false},
      {FileKind::MultiSector,
       512,
       {{2, 16, "Erasing sector #2..."},
        {3, 24, "Erasing sector #3..."},
        {4, 32, "Erasing sector #4..."},
        {5, 40, "Erasing sector #5..."},
        {10, 62, "Erasing sector #10..."}},
       {{2, 512, 767, "Programming sector #2"},
        {3, 768, 1023, "Programming sector #3"},
        {4, 1024, 1279, "Programming sector #4"},
        {5, 1280, 1535, "Programming sector #5"},
        {10, 1984, 2047, "Programming sector #10"}},
       false},
      {FileKind::Sector9,
       1952,
       {{9, 61, "Erasing sector #9..."}},
       {{9, 1952, 1983, "Programming sector #9"}},
       false},
  };
  for (const PlanCase& c : cases) {
    const std::string kind(FileKindName(c.kind));
    const SectorPlan* plan = PlanFor(c.kind);
    ASSERT_NE(plan, nullptr) << kind;
    EXPECT_EQ(plan->firstPage, c.firstPage) << kind;
    EXPECT_EQ(plan->finish, c.finish) << kind;
    ASSERT_EQ(plan->erase.size(), c.erase.size()) << kind;
    for (size_t i = 0; i < c.erase.size(); ++i) {
      EXPECT_EQ(plan->erase[i].sector, c.erase[i].sector) << kind << " erase " << i;
      EXPECT_EQ(plan->erase[i].sectorCode, c.erase[i].code) << kind << " erase " << i;
      EXPECT_EQ(plan->erase[i].text, c.erase[i].text) << kind << " erase " << i;
    }
    ASSERT_EQ(plan->program.size(), c.program.size()) << kind;
    for (size_t i = 0; i < c.program.size(); ++i) {
      EXPECT_EQ(plan->program[i].sector, c.program[i].sector) << kind << " program " << i;
      EXPECT_EQ(plan->program[i].firstPage, c.program[i].firstPage) << kind << " program " << i;
      EXPECT_EQ(plan->program[i].lastPage, c.program[i].lastPage) << kind << " program " << i;
      EXPECT_EQ(plan->program[i].text, c.program[i].text) << kind << " program " << i;
    }
  }
  EXPECT_EQ(PlanFor(FileKind::Empty), nullptr);
  EXPECT_EQ(PlanFor(FileKind::Unknown), nullptr);
}

// The first page that is forced must lie in a sector that the kind occupies, or forcing would
// change the kind of the image that is then sent.
TEST(PlanFor, ForcingTheFirstPageKeepsTheKind) {
  const std::vector<std::pair<FileKind, PageMap>> images = {
      {FileKind::Sector0, MapWith({255})},
      {FileKind::Sector1, MapWith({511})},
      {FileKind::MultiSector, MapWith({767, 2047})},
      {FileKind::Sector9, MapWith({1983})},
  };
  for (auto [kind, pages] : images) {
    const Classification before = ClassifyImage(pages);
    ASSERT_EQ(before.kind, kind);
    ForceFirstPage(pages, PlanFor(kind)->firstPage, before.usedPageCount);
    EXPECT_EQ(ClassifyImage(pages).kind, kind) << FileKindName(kind);
  }
}

}  // namespace
}  // namespace kv
