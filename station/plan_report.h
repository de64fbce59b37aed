// What a download of the loaded image would do, without opening a port: the kind, the region mask,
// the sectors to erase, the pages of each program step, the page total and the expected time on a
// 115200-baud line. Pure functions of the page map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "download/file_kind.h"
#include "image/memory_image.h"

namespace kv {

struct DownloadEstimate {
  double lineMs = 0;   // every packet and reply byte on the line
  double pauseMs = 0;  // the two 500 ms pauses of each erase, inside which the device erases
  double TotalMs() const { return lineMs + pauseMs; }
};

// The least time a download of this shape can take: nothing lost to retries or a slow device.
DownloadEstimate EstimateDownload(size_t eraseSteps, size_t pages, bool finish);

// The used pages of first..last as ranges, "0x200-0x2FF, 0x305"; "no pages" when none is used.
std::string UsedPageRanges(const PageMap& pages, uint16_t first, uint16_t last);

struct PlanReport {
  FileKind kind = FileKind::Empty;
  std::string text;       // lines ending in '\n'
  unsigned pages = 0;     // pages a download sends, the forced first page included; 0: none is sent
  double expectedMs = 0;  // its expected time
};

// The plan for the image as a download would see it, its first page forced used (on a copy).
PlanReport DescribePlan(const PageMap& pages);

// The plan on one line, for the station: "Plan: MultiSector, 7 pages, 5.9 s a device at 115200 baud";
// for an image that is not sent, the download's outcome text ("Empty HEX file").
std::string PlanLine(const PlanReport& report);

// A time as the station and the plan show it: "1.4 s".
std::string SecondsText(double seconds);

// What a plan of this kind exits with: 0, or the download's code for an Empty or Unknown image.
int PlanExitCode(FileKind kind);

}  // namespace kv
