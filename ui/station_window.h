// The station window's behaviour, once for every toolkit: the file and its header, a tile per slot, the
// tally and the rate, Start/Stop, Flash all, the daily log and closing, over the station's core
// (station/station.h). It draws nothing itself: it keeps what the window shows as one StationScreen and
// hands it to a StationForm (ui/station_form.h) at most five times a second.
//
// A front end builds its widgets, makes a StationWindow over itself, calls FormCreate, and routes its
// commands and its close box to the handlers below and its ticks to Tick. The station's events come on
// the station's threads; the behaviour takes them over to the window's thread with StationForm::Post
// and only marks the screen changed there. The boards' progress, a page a board every few
// milliseconds, is not posted at all: it is kept under a lock and taken at the next tick.
//
// What the window does:
//  - Open… reads the file once, as the command line does; a file that does not read, or that a
//    download would not send (Empty, Unknown), shows the reader's or the kind's text and cannot be
//    started. Open… works only while the station is stopped: the file and the log cannot change while
//    boards are flashed;
//  - Start opens the day's log (made if missing) and starts the station; a log that cannot be written
//    refuses Start with its cause, and nothing starts. Tiles, tally and rate start afresh;
//  - a tile keeps its last result until its board is taken out, then waits for the next board; a failed
//    board draws the eye (StationForm::Alert);
//  - Stop, or a close, while boards flash: the running ones finish and no new one starts; a second Stop
//    or close shuts them down. After a close the window closes itself once the station has ended.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/host.h"
#include "ports/port_names.h"
#include "station/plan_report.h"
#include "station/station.h"
#include "ui/station_form.h"

namespace kv {

inline constexpr std::string_view StationCaption = "KV6193 Production Station";
inline constexpr std::string_view WaitingHeadline = "Waiting for a board";
inline constexpr std::string_view LeftAloneHeadline = "Left alone";
inline constexpr std::string_view LeftAloneDetail = "Plugged in before Start: take it out and put it back";
inline constexpr std::string_view FailedHeadline = "Failed";
inline constexpr std::string_view NoFileNotice = "Open a HEX file to start";
inline constexpr std::string_view StoppingNotice =
    "Stopping once the running boards end; Stop or close again shuts them down";

// What the window works with; the port directory outlives it.
struct StationWindowSetup {
  const PortDirectory& ports;
  RunEnvironment runs{};
  std::string logFolder;  // where the daily logs go (DailyLogFolder); empty: none can be kept
  // The time since Start is measured on this clock (the rate).
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
};

class StationWindow : public StationObserver, private ReaderHost {
 public:
  StationWindow(StationForm& form, StationWindowSetup setup);
  // A station still running is stopped twice and waited for (its boards' ports are shut down).
  ~StationWindow() override;
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  // The first screen, and the ticks that redraw it.
  void FormCreate();
  // Handlers of the window's commands.
  void OpenClick();
  void StartStopClick();
  void FlashAllClick();
  // The window is about to close (close box, Exit). True when it may close now; otherwise the station
  // is stopped (a second close shuts its boards down) and the window closes itself once it has ended.
  bool FormClose();
  // Every tick of StartTicks: takes the boards' progress and draws the screen when anything on it has
  // changed.
  void Tick();

  // Reads the file as Open… does once it is chosen (a file given when the program starts).
  void OpenFile(std::string_view nativePath);

  // StationObserver: called on the station's threads, each posted to the window's thread.
  void FirstLook(const std::vector<StationPort>& leftAlone) override;
  void BoardStarted(const StationPort& port) override;
  void BoardProgress(const StationPort& port, unsigned done, unsigned pages) override;
  void BoardEnded(const StationPort& port, const BoardResult& result) override;
  void PortGone(const StationPort& port) override;
  void LeftAloneGone(const StationPort& port) override;
  void TallyChanged(const StationTally& tally) override;
  void StoppingOnceRunsEnd() override;
  void BoardTrace(const StationPort& port, std::string_view line) override;
  void Ended(int exitCode) override;

 private:
  // ReaderHost, for the reader's "cannot open" box.
  void ShowMessage(std::string_view text) override;
  void ProcessMessages() override {}

  bool Running() const { return station_ != nullptr; }
  bool CanStart() const { return file_ != nullptr && plan_.pages > 0; }
  void Start();
  void Refuse(const std::string& problem);
  TileScreen& TileOf(const StationPort& port);
  StationScreen BuildScreen() const;
  std::vector<std::string> HeaderLines() const;
  std::string RateText() const;
  void Changed() { changed_ = true; }
  // Draws the progress that came since the last time.
  void ShowProgress();

  // Pages done of pages, as the boards' threads last told it.
  struct Progress {
    unsigned done = 0;
    unsigned pages = 0;
  };
  struct PendingProgress {
    std::mutex lock;
    std::map<std::string, Progress> bySlot;
  };

  StationForm& form_;
  StationWindowSetup setup_;
  // The file, read once; what it is for the header.
  std::unique_ptr<LoadedFile> file_;
  std::string filePath_;  // native, as chosen
  PlanReport plan_;
  std::string sha256_;
  // The station and its log while it runs.
  std::unique_ptr<RunLog> log_;
  std::unique_ptr<Station> station_;
  std::string logPath_;  // the file the last row went to, or today's
  // What the screen shows of the run since Start.
  std::vector<TileScreen> tiles_;
  StationTally tally_;
  std::chrono::steady_clock::time_point startedAt_{};
  std::chrono::steady_clock::time_point endedAt_{};  // while stopped: the rate stays as it was
  double passedSeconds_ = 0;
  unsigned passedBoards_ = 0;
  std::string notice_;
  unsigned stops_ = 0;  // Stop and close requests since Start
  bool closeRequested_ = false;
  bool changed_ = true;
  std::string shownRate_;  // the rate last drawn: it changes with time alone
  PendingProgress progress_;
};

}  // namespace kv
