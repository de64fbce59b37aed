// What kind of firmware a loaded image is, decided from its page map alone, and what the download does
// for each kind: which sectors it erases, which page ranges it programs (with the status text of each
// step), which page carries the identification block, and whether the finish command follows.
// Everything here is constant data plus two small pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "image/memory_image.h"

namespace kv {

enum class FileKind { Sector0, Sector1, MultiSector, Sector9, Empty, Unknown };

inline constexpr int NoSectorCode = -1;

struct SectorRow {
  uint8_t sector;
  uint16_t maskBit;    // bit of the RegionMask
  uint16_t firstPage;  // page numbers, inclusive
  uint16_t lastPage;
  int sectorCode;  // erase argument (start in units of 8 KiB), or NoSectorCode
};

// The flash as the loader sees it: 11 sectors covering the 2048 pages exactly once.
// (Defined in file_kind.cpp; see there for the rows.)
extern const std::array<SectorRow, 11> SectorTable;

struct Classification {
  uint16_t regionMask = 0;     // bit N set when a page of sector N is used
  uint16_t usedPageCount = 0;  // used pages in the whole map
  FileKind kind = FileKind::Empty;
};

Classification ClassifyImage(const PageMap& pages);

struct EraseStep {
  uint8_t sector;
  uint8_t sectorCode;
  std::string_view text;  // "Erasing sector #2..."
};

struct ProgramStep {
  uint8_t sector;
  uint16_t firstPage;  // inclusive
  uint16_t lastPage;
  std::string_view text;  // "Programming sector #2"
};

struct SectorPlan {
  uint16_t firstPage;  // forced used; carries the identification block
  std::span<const EraseStep> erase;
  std::span<const ProgramStep> program;
  bool finish;
};

// The kind's plan, or nullptr for Empty and Unknown.
const SectorPlan* PlanFor(FileKind kind);

// Marks the plan's first page used; returns the count, raised by one only if the page was unused.
uint16_t ForceFirstPage(PageMap& pages, uint16_t firstPage, uint16_t usedPageCount);

std::string_view FileKindName(FileKind kind);  // "Sector0", "MultiSector", ...

}  // namespace kv
