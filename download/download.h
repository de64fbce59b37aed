// The download sequence behind "Send": open the port, classify the image, force its first page, seal
// the identification block, erase the kind's sectors, program every used page, finish (one kind
// only), each command up to six times, with status texts, progress and one outcome pair at the end.
// It reaches its front end only through DownloadView.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/host.h"
#include "image/loaded_file.h"
#include "image/memory_image.h"
#include "line/port.h"
#include "loader/loader_protocol.h"

namespace kv {

// What the download needs of a window: the status text of panel 0, a modal message box, the progress
// bar and its percentage label, and a turn of the event loop.
class DownloadView : public ReaderHost {
 public:
  virtual void SetStatusText(std::string_view text) = 0;
  virtual void SetProgressMax(uint16_t maximum) = 0;
  // Position of the bar and the label's text ("66 %").
  virtual void SetProgress(uint16_t position, std::string_view label) = 0;
};

// 1 from the start of a download until its very last step.
struct BusyFlag {
  int value = 0;
  explicit operator bool() const { return value != 0; }
};

// How a download ends.
enum class DownloadOutcome {
  Busy,                      // refused: another download is running
  Downloaded,                // every step succeeded
  SerialCommunicationError,  // the port did not open, or a page or the finish failed on the link
  FlashProgrammingError,     // a page failed on the device for good
  EraseProgrammingError,     // an erase failed on the device for good
  EraseCommunicationError,   // an erase failed on the link for good
  EmptyHexFile,              // the image occupies no sector
  UnknownFile,               // the occupied sectors make no known kind
};

struct OutcomeTexts {
  std::string_view message;  // message box
  std::string_view status;   // status panel 0 (not changed for Busy)
};
OutcomeTexts TextsOf(DownloadOutcome outcome);

// Why a download failed, for the user, beside the outcome's fixed texts: the port's open failure, or
// the command that failed for good and what its last attempt saw ("page 0x205: 0x3F where the
// acknowledge 0xE5 was due"), with the fix where the cause points to one. Empty after a success and
// for endings that are not failures of the line or the device (busy, empty, unknown).
struct FailureCause {
  std::string text;
  std::string_view hint;

  // The text and the hint on one line: "...; check the cable and the USB connection".
  std::string Line() const { return hint.empty() ? text : text + "; " + std::string(hint); }
};

inline constexpr int MaxAttempts = 6;
inline constexpr uint32_t RetryPauseMs = 100;

// The program-wide objects a download works on; the front end owns them.
struct DownloadContext {
  MemoryImage& image;
  const std::string& loadedFileName;
  const SystemTime& loadedFileTime;
  const int& portNumber;  // read once, when the port is opened
  BusyFlag& busy;
  Port& port;
  Clock& clock;
  DownloadView& view;
  FailureCause* cause = nullptr;  // filled when given
};

// Runs one download and returns how it ended (already shown through the view).
DownloadOutcome RunDownload(DownloadContext& context);

// Turns the event loop, then sets the bar to pagesDone and the label to pagesDone*100/total " %".
void ShowProgress(DownloadView& view, uint16_t pagesDone, uint16_t total);

}  // namespace kv
