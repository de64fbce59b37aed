#include "ui/station_window.h"

#include <algorithm>
#include <mutex>

#include "image/hex_reader.h"
#include "image/loaded_file.h"
#include "station/daily_log.h"
#include "station/run_log.h"
#include "ui/window.h"

namespace kv {
namespace {

// At most five redraws a second: a board's percentage moves about three times a second at line rate,
// and sixteen tiles redrawn ten times a second cost the window more than the boards' own runs.
constexpr unsigned RedrawMs = 200;
constexpr size_t ShownDigestDigits = 12;

// Why a read stopped, after the reader's text: "Invalid HEX format (line 12: checksum 3D, expected 3C)".
std::string ReadProblem(HexReadResult result, const HexReadDetail& detail) {
  const std::string where = ReadDetailText(detail);
  const std::string text(ReadResultText(result));
  return where.empty() ? text : text + " (" + where + ")";
}

}  // namespace

StationWindow::StationWindow(StationForm& form, StationWindowSetup setup)
    : form_(form), setup_(std::move(setup)), notice_(NoFileNotice) {}

StationWindow::~StationWindow() {
  // First, while everything its events reach is still there.
  station_.reset();
}

void StationWindow::FormCreate() {
  logPath_ = DailyLogPath(setup_.logFolder, std::chrono::system_clock::now());
  form_.Show(BuildScreen());
  changed_ = false;
  form_.StartTicks(RedrawMs);
}

void StationWindow::OpenClick() {
  if (Running()) return;  // the file cannot change while boards are flashed
  std::string chosen;
  if (form_.ChooseFile(HexFileChoices, chosen)) OpenFile(chosen);
}

void StationWindow::OpenFile(std::string_view nativePath) {
  if (Running()) return;
  auto file = std::make_unique<LoadedFile>();
  const std::string path(nativePath);
  file->name = LoadedFileNameFor(path);
  HexReadDetail detail;
  std::vector<uint8_t> bytes;
  const HexReadResult read = ReadHexFile(path.c_str(), file->image, file->time, *this, &detail, &bytes);
  filePath_ = path;
  passedSeconds_ = 0;
  passedBoards_ = 0;
  Changed();
  if (!MaySendAfter(read)) {
    // A broken file is never sent, not even the part that could be read.
    file_.reset();
    plan_ = {};
    sha256_.clear();
    notice_ = ReadProblem(read, detail);
    return;
  }
  plan_ = DescribePlan(file->image.Pages());
  sha256_ = Sha256Hex(bytes);
  file_ = std::move(file);
  // An Empty or Unknown image is not sent: the outcome a download would end with.
  notice_ = CanStart() ? std::string() : PlanLine(plan_);
}

void StationWindow::StartStopClick() {
  if (Running()) {
    ++stops_;
    station_->Stop();
  } else {
    Start();
  }
  Changed();
}

void StationWindow::Start() {
  if (!CanStart()) return;
  auto log = std::make_unique<RunLog>();
  if (const std::string problem = OpenDailyLog(setup_.logFolder, filePath_, *file_, {}, *log);
      !problem.empty()) {
    Refuse(problem);
    return;
  }
  log->sha256 = sha256_;  // of the bytes read at Open…, which the station flashes
  logPath_ = log->path;
  tiles_.clear();
  tally_ = {};
  passedSeconds_ = 0;
  passedBoards_ = 0;
  stops_ = 0;
  startedAt_ = setup_.now();
  log_ = std::move(log);
  station_ = std::make_unique<Station>(StationSetup{*file_, *log_, setup_.ports, setup_.runs}, *this);
  const StationStart start = station_->Start();
  if (!start.started) {
    station_.reset();
    Refuse(start.problem);
    return;
  }
  notice_ = start.notice;
}

void StationWindow::Refuse(const std::string& problem) {
  notice_ = problem;
  Changed();
  form_.ShowMessage(problem);
}

void StationWindow::FlashAllClick() {
  if (Running() && stops_ == 0) station_->FlashAll();
}

bool StationWindow::FormClose() {
  if (!Running()) return true;
  closeRequested_ = true;
  ++stops_;
  station_->Stop();
  Changed();
  return false;
}

void StationWindow::Tick() {
  ShowProgress();
  const std::string rate = RateText();
  if (!changed_ && rate == shownRate_) return;
  form_.Show(BuildScreen());
  shownRate_ = rate;
  changed_ = false;
}

TileScreen& StationWindow::TileOf(const StationPort& port) {
  const auto it = std::find_if(tiles_.begin(), tiles_.end(),
                               [&port](const TileScreen& tile) { return tile.slot == port.slot; });
  if (it != tiles_.end()) return *it;
  tiles_.push_back({port.slot, port.adapter, TileState::Waiting, std::string(WaitingHeadline), {}, 0});
  return tiles_.back();
}

void StationWindow::FirstLook(const std::vector<StationPort>& leftAlone) {
  form_.Post([this, leftAlone] {
    for (const StationPort& port : leftAlone) {
      TileScreen& tile = TileOf(port);
      tile = {port.slot,
              port.adapter,
              TileState::LeftAlone,
              std::string(LeftAloneHeadline),
              std::string(LeftAloneDetail),
              0};
    }
    Changed();
  });
}

void StationWindow::BoardStarted(const StationPort& port) {
  form_.Post([this, port] {
    TileOf(port) = {port.slot, port.adapter, TileState::Flashing, "Flashing 0 %", {}, 0};
    Changed();
  });
}

void StationWindow::BoardProgress(const StationPort& port, unsigned done, unsigned pages) {
  // A page a board every few milliseconds: kept here and taken over at the next tick, so the window's
  // thread wakes for it no more often than it redraws.
  const std::lock_guard guard(progress_.lock);
  progress_.bySlot[port.slot] = {done, pages};
}

void StationWindow::ShowProgress() {
  // The entries stay (a board's is dropped when it ends): a page then only overwrites its board's, with
  // no allocation, and an unchanged percentage is skipped below.
  const std::lock_guard guard(progress_.lock);
  for (const auto& [slot, progress] : progress_.bySlot) {
    const auto tile = std::find_if(tiles_.begin(), tiles_.end(),
                                   [&slot](const TileScreen& one) { return one.slot == slot; });
    if (tile == tiles_.end() || tile->state != TileState::Flashing) continue;
    const unsigned percent =
        progress.pages == 0 ? 0 : std::min(progress.done, progress.pages) * 100 / progress.pages;
    if (percent == tile->percent) continue;  // a page of a thousand changes nothing on screen
    tile->percent = percent;
    tile->headline = "Flashing " + std::to_string(percent) + " %";
    Changed();
  }
}

void StationWindow::BoardEnded(const StationPort& port, const BoardResult& result) {
  {
    // Its progress, if not yet drawn, is over: a next board in the slot starts from nothing.
    const std::lock_guard guard(progress_.lock);
    progress_.bySlot.erase(port.slot);
  }
  form_.Post([this, port, result] {
    TileScreen& tile = TileOf(port);
    tile.adapter = port.adapter;
    tile.percent = 0;
    if (result.outcome == DownloadOutcome::Downloaded) {
      tile.state = TileState::Passed;
      tile.headline = "Passed in " + SecondsText(result.seconds);
      tile.detail.clear();
      passedSeconds_ += result.seconds;
      ++passedBoards_;
    } else {
      tile.state = TileState::Failed;
      tile.headline = FailedHeadline;
      tile.detail = std::string(TextsOf(result.outcome).message);
      if (!result.cause.empty()) tile.detail += ": " + result.cause;
    }
    if (!result.logProblem.empty()) notice_ = result.logProblem;
    {
      const std::lock_guard guard(log_->lock);  // the row may have gone into a new day's file
      logPath_ = log_->path;
    }
    Changed();
    if (tile.state == TileState::Failed) form_.Alert();
  });
}

void StationWindow::PortGone(const StationPort& port) {
  form_.Post([this, port] {
    TileScreen& tile = TileOf(port);
    // A board already flashing in the slot is a new one: its run is still to be shown.
    if (tile.state == TileState::Flashing) return;
    tile = {port.slot, "", TileState::Waiting, std::string(WaitingHeadline), {}, 0};
    Changed();
  });
}

void StationWindow::LeftAloneGone(const StationPort& port) {
  // Taken out as the tile asked: the slot now waits for a board like any other.
  PortGone(port);
}

void StationWindow::TallyChanged(const StationTally& tally) {
  form_.Post([this, tally] {
    tally_ = tally;
    Changed();
  });
}

void StationWindow::StoppingOnceRunsEnd() {
  form_.Post([this] {
    notice_ = StoppingNotice;
    Changed();
  });
}

void StationWindow::BoardTrace(const StationPort& /*port*/, std::string_view /*line*/) {}

void StationWindow::Ended(int /*exitCode*/) {
  form_.Post([this] {
    endedAt_ = setup_.now();
    station_.reset();  // it has ended: nothing to wait for but its look thread's return
    if (notice_ == StoppingNotice) notice_.clear();
    Changed();
    if (closeRequested_) form_.Close();
  });
}

void StationWindow::ShowMessage(std::string_view text) {
  form_.ShowMessage(text);
}

std::string StationWindow::RateText() const {
  const unsigned boards = tally_.passed + tally_.failed;
  if (boards == 0) return {};
  const auto until = Running() ? setup_.now() : endedAt_;
  const double hours = std::chrono::duration<double, std::ratio<3600>>(until - startedAt_).count();
  if (hours <= 0) return {};
  return std::to_string(static_cast<unsigned long>(boards / hours + 0.5)) + " boards per hour";
}

std::vector<std::string> StationWindow::HeaderLines() const {
  std::string file = "File: " + (filePath_.empty() ? std::string("none") : form_.DisplayPath(filePath_));
  if (file_ != nullptr) file += " (" + std::string(FileKindName(plan_.kind)) + ")";
  const std::string perBoard =
      passedBoards_ == 0 ? std::string("-") : SecondsText(passedSeconds_ / passedBoards_);
  return {file, "Pages: " + (file_ == nullptr ? std::string("-") : std::to_string(plan_.pages)),
          "SHA-256: " + (sha256_.empty() ? std::string("-") : sha256_.substr(0, ShownDigestDigits)),
          "Time per board: " + perBoard, "Log: " + form_.DisplayPath(logPath_)};
}

StationScreen StationWindow::BuildScreen() const {
  StationScreen screen;
  screen.caption = std::string(StationCaption);
  screen.header = HeaderLines();
  screen.tiles = tiles_;
  screen.tally = TallyText(tally_);
  screen.rate = RateText();
  screen.notice = notice_;
  screen.startStopCaption = Running() ? "Stop" : "Start";
  screen.canStartStop = Running() || CanStart();
  screen.canOpen = !Running();
  screen.canFlashAll = Running() && stops_ == 0;
  return screen;
}

}  // namespace kv
