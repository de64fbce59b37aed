#include "download/file_kind.h"

namespace kv {

// Sector, mask bit, first and last page, erase code. Segments 0 to 6 are one sector each; segment 7
// is split into sectors 7 to 10. Sectors 6, 7 and 8 only take part in classification.
extern constexpr std::array<SectorRow, 11> SectorTable{{
    {0, 0x001, 0, 255, 0},
    {1, 0x002, 256, 511, 8},
    {2, 0x004, 512, 767, 16},
    {3, 0x008, 768, 1023, 24},
    {4, 0x010, 1024, 1279, 32},
    {5, 0x020, 1280, 1535, 40},
    {6, 0x040, 1536, 1791, NoSectorCode},
    {7, 0x080, 1792, 1919, NoSectorCode},
    {8, 0x100, 1920, 1951, NoSectorCode},
    {9, 0x200, 1952, 1983, 61},
    {10, 0x400, 1984, 2047, 62},
}};

namespace {

// The table must cover the page map exactly once, in order, and every erase code must be the
// sector's start in units of 8 KiB; a typo in a row fails the build instead of a flash.
constexpr bool SectorTableIsConsistent() {
  uint32_t nextPage = 0;
  for (uint32_t i = 0; i < SectorTable.size(); ++i) {
    const SectorRow& row = SectorTable[i];
    if (row.sector != i || row.maskBit != (1u << i) || row.firstPage != nextPage) return false;
    if (row.sectorCode != NoSectorCode && row.sectorCode != row.firstPage / 32) return false;
    nextPage = row.lastPage + 1u;
  }
  return nextPage == PageCount;
}
static_assert(SectorTableIsConsistent());

// The kind rule: the whole mask is compared, first match wins; anything else is Unknown.
struct KindRule {
  uint16_t regionMask;
  FileKind kind;
};
constexpr std::array<KindRule, 8> KindRules{{
    {0x001, FileKind::Sector0},
    {0x002, FileKind::Sector1},
    {0x404, FileKind::MultiSector},  // sectors 2 and 10
    {0x40C, FileKind::MultiSector},  // 2, 3 and 10
    {0x41C, FileKind::MultiSector},  // 2, 3, 4 and 10
    {0x43C, FileKind::MultiSector},  // 2, 3, 4, 5 and 10
    {0x200, FileKind::Sector9},
    {0x000, FileKind::Empty},
}};

FileKind KindOfMask(uint16_t regionMask) {
  for (const KindRule& rule : KindRules) {
    if (rule.regionMask == regionMask) return rule.kind;
  }
  return FileKind::Unknown;
}

constexpr std::array<EraseStep, 1> Sector0Erase{{{0, 0, "Erasing sector #0..."}}};
constexpr std::array<ProgramStep, 1> Sector0Program{{{0, 0, 255, "Programming sector #0"}}};

constexpr std::array<EraseStep, 1> Sector1Erase{{{1, 8, "Erasing sector #1..."}}};
constexpr std::array<ProgramStep, 1> Sector1Program{{{1, 256, 511, "Programming sector #1"}}};

// All five sectors are erased and walked whichever of sectors 3 to 5 the file occupies.
constexpr std::array<EraseStep, 5> MultiSectorErase{{
    {2, 16, "Erasing sector #2..."},
    {3, 24, "Erasing sector #3..."},
    {4, 32, "Erasing sector #4..."},
    {5, 40, "Erasing sector #5..."},
    {10, 62, "Erasing sector #10..."},
}};
constexpr std::array<ProgramStep, 5> MultiSectorProgram{{
    {2, 512, 767, "Programming sector #2"},
    {3, 768, 1023, "Programming sector #3"},
    {4, 1024, 1279, "Programming sector #4"},
    {5, 1280, 1535, "Programming sector #5"},
    {10, 1984, 2047, "Programming sector #10"},
}};

constexpr std::array<EraseStep, 1> Sector9Erase{{{9, 61, "Erasing sector #9..."}}};
constexpr std::array<ProgramStep, 1> Sector9Program{{{9, 1952, 1983, "Programming sector #9"}}};

// One row per kind that is sent: first page (forced used, carries the identification block), erase
// list, program list, and whether the finish command follows the last page. Only Sector0 finishes.
struct KindPlan {
  FileKind kind;
  SectorPlan plan;
};
constexpr std::array<KindPlan, 4> Plans{{
    {FileKind::Sector0, {0, Sector0Erase, Sector0Program, true}},
    {FileKind::Sector1, {256, Sector1Erase, Sector1Program, false}},
    {FileKind::MultiSector, {512, MultiSectorErase, MultiSectorProgram, false}},
    {FileKind::Sector9, {1952, Sector9Erase, Sector9Program, false}},
}};

// Each step must name the sector's own erase code and page range, and the first page must open the
// first program range, so the plans cannot drift away from the sector table.
constexpr bool PlansMatchTable() {
  for (const KindPlan& row : Plans) {
    const SectorPlan& plan = row.plan;
    for (const EraseStep& step : plan.erase) {
      if (step.sectorCode != SectorTable[step.sector].sectorCode) return false;
    }
    for (const ProgramStep& step : plan.program) {
      const SectorRow& sector = SectorTable[step.sector];
      if (step.firstPage != sector.firstPage || step.lastPage != sector.lastPage) return false;
    }
    if (plan.firstPage != plan.program.front().firstPage) return false;
  }
  return true;
}
static_assert(PlansMatchTable());

}  // namespace

Classification ClassifyImage(const PageMap& pages) {
  Classification result;
  for (const SectorRow& row : SectorTable) {
    for (uint32_t page = row.firstPage; page <= row.lastPage; ++page) {
      if (!pages.IsPageUsed(page)) continue;
      result.regionMask |= row.maskBit;
      ++result.usedPageCount;
    }
  }
  result.kind = KindOfMask(result.regionMask);
  return result;
}

const SectorPlan* PlanFor(FileKind kind) {
  for (const KindPlan& row : Plans) {
    if (row.kind == kind) return &row.plan;
  }
  return nullptr;  // Empty and Unknown are never sent
}

uint16_t ForceFirstPage(PageMap& pages, uint16_t firstPage, uint16_t usedPageCount) {
  if (!pages.IsPageUsed(firstPage)) ++usedPageCount;
  pages.MarkPageUsed(firstPage);
  return usedPageCount;
}

std::string_view FileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::Sector0:
      return "Sector0";
    case FileKind::Sector1:
      return "Sector1";
    case FileKind::MultiSector:
      return "MultiSector";
    case FileKind::Sector9:
      return "Sector9";
    case FileKind::Empty:
      return "Empty";
    case FileKind::Unknown:
      break;
  }
  return "Unknown";
}

}  // namespace kv
