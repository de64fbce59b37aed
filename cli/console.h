// Where the flasher's words go: result lines on standard output, errors and traces on standard error,
// and progress on standard error: on a terminal one live line, cut to the terminal's width and redrawn
// in place; elsewhere (a log, a pipe) a plain line at every tenth of the way. Every device thread
// writes through one Console, whose lock keeps lines whole and keeps them off the progress line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

using SteadyTime = std::chrono::steady_clock::time_point;
using Millis = std::chrono::milliseconds;

// Progress of one device's download.
struct ProgressSlot {
  std::string name;
  uint16_t done = 0;
  uint16_t total = 0;        // 0 until the program phase starts
  Millis elapsed{0};         // since the download started
  Millis programElapsed{0};  // since its program phase started
  bool ended = false;
};

// "m:ss".
std::string FormatDuration(Millis duration);
// Remaining time from the page rate seen so far in the program phase; negative while unknown.
Millis RemainingTime(const ProgressSlot& slot);
// One line: for one device a bar, pages done of total, percentage, elapsed and remaining time; for
// several, each device's pages and percentage, then the longest elapsed and remaining time. Within
// `width` characters (0: no limit): the bar goes first, then the elapsed time, then the line is cut.
std::string FormatProgressLine(const std::vector<ProgressSlot>& slots, size_t width = 0);

// The slot of a device whose progress is not shown (the station's: its tally takes the line).
inline constexpr size_t NoProgressSlot = static_cast<size_t>(-1);

enum class ProgressStyle {
  None,   // no progress at all (--quiet)
  Live,   // one line redrawn in place (standard error is a terminal)
  Lines,  // a plain line at each tenth of the pages (standard error is a file or a pipe)
};

class Console {
 public:
  // `columns` gives the terminal's width now (0 when unknown); asked at every redraw, so a resized
  // window is followed.
  Console(std::ostream& out, std::ostream& err, ProgressStyle style, std::function<size_t()> columns = {});

  // A line on standard output / standard error, prefixed (e.g. "[COM2] ").
  void Out(std::string_view prefix, std::string_view text);
  void Err(std::string_view prefix, std::string_view text);

  // Progress of the device in `slot` (slots are added before any download starts).
  size_t AddSlot(std::string name);
  void DownloadStarted(size_t slot);
  void ProgramPhaseStarted(size_t slot, uint16_t total);
  void Progress(size_t slot, uint16_t done, uint16_t total);
  void DownloadEnded(size_t slot);
  // Removes the progress line for good (before the closing summary).
  void ClearProgress();

  // A status of the whole run (the station's tally) in the progress line's place: on a terminal
  // redrawn in place, otherwise a line on standard error each time it changes; nothing under None.
  void ShowStatus(std::string text);

 private:
  struct SlotTimes {
    SteadyTime started{};
    SteadyTime programStarted{};
  };
  void WriteLine(std::ostream& stream, std::string_view prefix, std::string_view text);
  void HideProgressLocked();
  void DrawProgressLocked(bool force);
  void UpdateTimesLocked(SteadyTime now);
  void PrintPlainProgressLocked();

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  ProgressStyle style_;
  std::function<size_t()> columns_;
  unsigned linesShown_ = 0;  // tenths of the pages already reported as plain lines
  std::vector<ProgressSlot> slots_;
  std::vector<SlotTimes> times_;
  std::string status_;     // shown instead of the slots' progress when set
  size_t shownWidth_ = 0;  // characters of the progress line now on the terminal
  SteadyTime lastDraw_{};
};

}  // namespace kv
