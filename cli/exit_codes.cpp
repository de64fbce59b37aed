#include "cli/exit_codes.h"

#include <array>

namespace kv {
namespace {

constexpr std::array<ExitCodeRow, 13> Rows{{
    {ExitSuccess, "File successfully loaded (for several devices: on every one)"},
    {ExitUsage, "usage error"},
    {2, "the HEX file cannot be opened (File not found)"},
    {3, "Invalid HEX format"},
    {4, "Illegal segment alignment"},
    {5, "Unsupported record type"},
    {6, "Empty HEX file"},
    {7, "Unknown file"},
    {8, "Serial communication error"},
    {9, "Flash programming error"},
    {10, "Progr. error during memory erasing"},
    {11, "Communication error during memory erasing"},
    {ExitInterrupted, "interrupted (SIGINT or SIGTERM)"},
}};

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

std::span<const ExitCodeRow> ExitCodeTable() {
  return Rows;
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
