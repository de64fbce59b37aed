#include "station/plan_report.h"

#include <cstdio>

#include "download/download.h"
#include "loader/loader_protocol.h"
#include "station/exit_codes.h"

namespace kv {
namespace {

// Reply bytes the device sends back to each command.
constexpr size_t EraseReplyBytes = 2;
constexpr size_t PageReplyBytes = 2;
constexpr size_t FinishReplyBytes = 1;

std::string HexPage(unsigned page) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%03X", page);
  return text;
}

void AppendRange(std::string& out, unsigned first, unsigned last) {
  if (!out.empty()) out += ", ";
  out += HexPage(first);
  if (last != first) out.append(1, '-').append(HexPage(last));
}

// The outcome of a download of a kind that has no plan.
DownloadOutcome OutcomeOfUnsent(FileKind kind) {
  return kind == FileKind::Empty ? DownloadOutcome::EmptyHexFile : DownloadOutcome::UnknownFile;
}

}  // namespace

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

DownloadEstimate EstimateDownload(size_t eraseSteps, size_t pages, bool finish) {
  const size_t bytes = eraseSteps * (ErasePacketSize + EraseReplyBytes) +
                       pages * (PagePacketSize + PageReplyBytes) +
                       (finish ? FinishPacketSize + FinishReplyBytes : 0);
  DownloadEstimate estimate;
  estimate.lineMs = LineMs(bytes);
  estimate.pauseMs = static_cast<double>(eraseSteps) * 2.0 * EraseReplyPauseMs;
  return estimate;
}

std::string UsedPageRanges(const PageMap& pages, uint16_t first, uint16_t last) {
  std::string out;
  bool inRange = false;
  unsigned start = 0;
  for (unsigned page = first; page <= last; ++page) {
    const bool used = pages.IsPageUsed(page);
    if (used && !inRange) start = page;
    if (!used && inRange) AppendRange(out, start, page - 1);
    inRange = used;
  }
  if (inRange) AppendRange(out, start, last);
  return out.empty() ? "no pages" : out;
}

PlanReport DescribePlan(const PageMap& pages) {
  const Classification found = ClassifyImage(pages);
  PlanReport report{found.kind, {}};
  char line[96];
  report.text += "Kind: " + std::string(FileKindName(found.kind)) + "\n";
  std::snprintf(line, sizeof line, "Region mask: 0x%03X\n", found.regionMask);
  report.text += line;

  const SectorPlan* plan = PlanFor(found.kind);
  if (plan == nullptr) {
    report.text += std::string(TextsOf(OutcomeOfUnsent(found.kind)).message) + "\n";
    return report;
  }

  PageMap forced = pages;
  const uint16_t total = ForceFirstPage(forced, plan->firstPage, found.usedPageCount);
  for (const EraseStep& step : plan->erase) {
    std::snprintf(line, sizeof line, "Erase sector #%u (code %u)\n", step.sector, step.sectorCode);
    report.text += line;
  }
  for (const ProgramStep& step : plan->program) {
    std::snprintf(line, sizeof line, "Program sector #%u: ", step.sector);
    report.text += line + UsedPageRanges(forced, step.firstPage, step.lastPage) + "\n";
  }
  report.text += std::string("Finish: ") + (plan->finish ? "yes" : "no") + "\n";
  std::snprintf(line, sizeof line, "Total pages: %u (first page 0x%03X included)\n", total, plan->firstPage);
  report.text += line;
  const DownloadEstimate estimate = EstimateDownload(plan->erase.size(), total, plan->finish);
  report.text += "Expected time at 115200 baud: " + SecondsText(estimate.TotalMs() / 1000.0) + " (line " +
                 SecondsText(estimate.lineMs / 1000.0) + " + erase pauses " +
                 SecondsText(estimate.pauseMs / 1000.0) + ")\n";
  report.pages = total;
  report.expectedMs = estimate.TotalMs();
  return report;
}

std::string PlanLine(const PlanReport& report) {
  if (report.pages == 0) return std::string(TextsOf(OutcomeOfUnsent(report.kind)).message);
  return "Plan: " + std::string(FileKindName(report.kind)) + ", " + std::to_string(report.pages) +
         " pages, " + SecondsText(report.expectedMs / 1000.0) + " a device at 115200 baud";
}

int PlanExitCode(FileKind kind) {
  return PlanFor(kind) == nullptr ? ExitCodeOfOutcome(OutcomeOfUnsent(kind)) : 0;
}

}  // namespace kv
