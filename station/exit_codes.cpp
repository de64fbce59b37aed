#include "station/exit_codes.h"

#include <algorithm>
#include <array>

namespace kv {
namespace {

struct ReadRow {
  HexReadResult result;
  int code;
};

constexpr std::array<ReadRow, 5> ReadRows{{
    {ReadComplete, ExitSuccess},
    {CannotOpen, 2},
    {InvalidHexFormat, 3},
    {IllegalSegmentAlignment, 4},
    {UnsupportedRecordType, 5},
}};

struct OutcomeRow {
  DownloadOutcome outcome;
  int code;
};

constexpr std::array<OutcomeRow, 8> OutcomeRows{{
    {DownloadOutcome::Downloaded, ExitSuccess},
    {DownloadOutcome::EmptyHexFile, 6},
    {DownloadOutcome::UnknownFile, 7},
    {DownloadOutcome::SerialCommunicationError, 8},
    {DownloadOutcome::FlashProgrammingError, 9},
    {DownloadOutcome::EraseProgrammingError, 10},
    {DownloadOutcome::EraseCommunicationError, 11},
    // Each device has its own busy flag and nothing re-enters a download here, so a refusal would
    // mean the flasher itself was misused.
    {DownloadOutcome::Busy, ExitUsage},
}};

const ReadRow& RowOf(HexReadResult result) {
  for (const ReadRow& row : ReadRows) {
    if (row.result == result) return row;
  }
  return ReadRows[InvalidHexFormat];  // not a known result: treat as unreadable
}

}  // namespace

std::vector<ExitCodeRow> ExitCodeTable() {
  std::vector<ExitCodeRow> rows{
      {ExitSuccess,
       std::string(TextsOf(DownloadOutcome::Downloaded).message) + " (for several devices: on every one)"},
      {ExitUsage, "usage error"},
      {ExitInterrupted, "interrupted (SIGINT or SIGTERM)"},
  };
  for (const ReadRow& row : ReadRows) {
    if (row.code == ExitSuccess) continue;
    const std::string text(ReadResultText(row.result));
    // "File not found" alone would hide a file that is there but cannot be read.
    rows.push_back(
        {row.code, row.result == CannotOpen ? "the HEX file cannot be opened (" + text + ")" : text});
  }
  for (const OutcomeRow& row : OutcomeRows) {
    if (row.code > ExitUsage) rows.push_back({row.code, std::string(TextsOf(row.outcome).message)});
  }
  std::sort(rows.begin(), rows.end(),
            [](const ExitCodeRow& a, const ExitCodeRow& b) { return a.code < b.code; });
  return rows;
}

int ExitCodeOfRead(HexReadResult result) {
  return RowOf(result).code;
}

int ExitCodeOfOutcome(DownloadOutcome outcome) {
  for (const OutcomeRow& row : OutcomeRows) {
    if (row.outcome == outcome) return row.code;
  }
  return ExitUsage;
}

}  // namespace kv
