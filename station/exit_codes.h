// The flasher's exit codes: one per way a run can end, so that a script or a production line can tell
// a broken file from a dead cable from a device that refused its flash. Kept as a table, which also
// feeds the text of --help under the reader's and the download's own texts.
#pragma once

#include <string>
#include <vector>

#include "download/download.h"
#include "image/hex_reader.h"

namespace kv {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitUsage = 1;
inline constexpr int ExitInterrupted = 130;

struct ExitCodeRow {
  int code;
  std::string meaning;
};

// Every code the flasher can return, in ascending order.
std::vector<ExitCodeRow> ExitCodeTable();

// The code of a load that did not end with ReadComplete (ReadComplete itself gives ExitSuccess).
int ExitCodeOfRead(HexReadResult result);

// The code of a download's outcome (Downloaded gives ExitSuccess).
int ExitCodeOfOutcome(DownloadOutcome outcome);

}  // namespace kv
