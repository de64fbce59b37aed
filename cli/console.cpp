#include "cli/console.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace kv {
namespace {

constexpr size_t BarWidth = 24;
// Redrawing once per page would flood a slow terminal; a few times a second is plenty to watch.
constexpr Millis RedrawInterval{100};
// A terminal of unknown width is taken to be this wide.
constexpr size_t DefaultColumns = 80;

unsigned Percent(uint16_t done, uint16_t total) {
  return total == 0 ? 0u : done * 100u / total;
}

}  // namespace

std::string FormatDuration(Millis duration) {
  const long long seconds = std::max<long long>(0, duration.count() / 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  return text;
}

Millis RemainingTime(const ProgressSlot& slot) {
  if (slot.total == 0 || slot.done == 0) return Millis{-1};
  return Millis{slot.programElapsed.count() * (slot.total - slot.done) / slot.done};
}

std::string FormatProgressLine(const std::vector<ProgressSlot>& slots, size_t width) {
  std::string bar;
  std::string line;
  char text[160];
  Millis elapsed{0};
  Millis remaining{0};
  bool remainingKnown = true;
  for (const ProgressSlot& slot : slots) {
    elapsed = std::max(elapsed, slot.elapsed);
    const Millis left = slot.ended ? Millis{0} : RemainingTime(slot);
    if (left.count() < 0) remainingKnown = false;
    remaining = std::max(remaining, left);
  }
  if (slots.size() == 1) {
    const ProgressSlot& slot = slots.front();
    const size_t filled = slot.total == 0 ? 0 : BarWidth * slot.done / slot.total;
    // Appended piece by piece: "literal" + std::string trips a false -Wrestrict in GCC 12 at -O3.
    bar.assign(1, '[').append(filled, '#').append(BarWidth - filled, '.').append("] ");
    std::snprintf(text, sizeof text, "%u/%u %3u %%", slot.done, slot.total, Percent(slot.done, slot.total));
    line += text;
  } else {
    for (const ProgressSlot& slot : slots) {
      std::snprintf(text, sizeof text, "%s %u/%u %u %% | ", slot.name.c_str(), slot.done, slot.total,
                    Percent(slot.done, slot.total));
      line += text;
    }
    if (!line.empty()) line.resize(line.size() - 3);
  }
  const std::string elapsedText = "  elapsed " + FormatDuration(elapsed);
  const std::string left = "  left " + (remainingKnown ? FormatDuration(remaining) : std::string("-:--"));
  const size_t full = bar.size() + line.size() + elapsedText.size() + left.size();
  if (width == 0 || full <= width) return bar + line + elapsedText + left;
  if (full - bar.size() <= width) return line + elapsedText + left;
  line += left;
  if (line.size() > width) line.resize(width);
  return line;
}

Console::Console(std::ostream& out, std::ostream& err, ProgressStyle style, std::function<size_t()> columns)
    : out_(out), err_(err), style_(style), columns_(std::move(columns)) {}

void Console::Out(std::string_view prefix, std::string_view text) {
  std::lock_guard lock(mutex_);
  HideProgressLocked();
  WriteLine(out_, prefix, text);
  DrawProgressLocked(true);
}

void Console::Err(std::string_view prefix, std::string_view text) {
  std::lock_guard lock(mutex_);
  HideProgressLocked();
  WriteLine(err_, prefix, text);
  DrawProgressLocked(true);
}

void Console::WriteLine(std::ostream& stream, std::string_view prefix, std::string_view text) {
  stream << prefix << text << '\n';
  stream.flush();
}

size_t Console::AddSlot(std::string name) {
  std::lock_guard lock(mutex_);
  slots_.push_back({std::move(name)});
  times_.emplace_back();
  return slots_.size() - 1;
}

void Console::DownloadStarted(size_t slot) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  times_[slot].started = std::chrono::steady_clock::now();
}

void Console::ProgramPhaseStarted(size_t slot, uint16_t total) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  times_[slot].programStarted = std::chrono::steady_clock::now();
  slots_[slot].total = total;
  DrawProgressLocked(true);
}

void Console::Progress(size_t slot, uint16_t done, uint16_t total) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  slots_[slot].done = done;
  slots_[slot].total = total;
  DrawProgressLocked(done == total);
}

void Console::DownloadEnded(size_t slot) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  slots_[slot].ended = true;
}

void Console::ClearProgress() {
  std::lock_guard lock(mutex_);
  HideProgressLocked();
  style_ = ProgressStyle::None;
}

void Console::ShowStatus(std::string text) {
  std::lock_guard lock(mutex_);
  if (text == status_) return;
  status_ = std::move(text);
  if (style_ == ProgressStyle::Lines) {
    err_ << status_ << '\n';
    err_.flush();
  }
  DrawProgressLocked(true);
}

void Console::HideProgressLocked() {
  if (shownWidth_ == 0) return;
  err_ << '\r' << std::string(shownWidth_, ' ') << '\r';
  err_.flush();
  shownWidth_ = 0;
}

void Console::UpdateTimesLocked(SteadyTime now) {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].ended) continue;
    slots_[i].elapsed = std::chrono::duration_cast<Millis>(now - times_[i].started);
    if (slots_[i].total != 0) {
      slots_[i].programElapsed = std::chrono::duration_cast<Millis>(now - times_[i].programStarted);
    }
  }
}

// A line each time the pages of all devices together pass another tenth; a log then shows the
// download moving without one line per page.
void Console::PrintPlainProgressLocked() {
  unsigned long done = 0;
  unsigned long total = 0;
  for (const ProgressSlot& slot : slots_) {
    done += slot.done;
    total += slot.total;
  }
  const unsigned tenths = total == 0 ? 0u : static_cast<unsigned>(done * 10 / total);
  if (done == 0 || tenths <= linesShown_) return;
  linesShown_ = tenths;
  UpdateTimesLocked(std::chrono::steady_clock::now());
  err_ << FormatProgressLine(slots_) << '\n';
  err_.flush();
}

void Console::DrawProgressLocked(bool force) {
  if (style_ == ProgressStyle::Lines) {
    if (status_.empty()) PrintPlainProgressLocked();
    return;
  }
  if (style_ != ProgressStyle::Live) return;
  const SteadyTime now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < RedrawInterval) return;
  bool anyTotal = false;
  for (const ProgressSlot& slot : slots_) anyTotal = anyTotal || slot.total != 0;
  if (!anyTotal && status_.empty()) return;  // nothing to show before the first program phase
  UpdateTimesLocked(now);
  // One column short of the width: a line that fills the last column wraps on some terminals.
  const size_t columns = columns_ ? columns_() : 0;
  const size_t width = (columns == 0 ? DefaultColumns : columns) - 1;
  const std::string line = status_.empty() ? FormatProgressLine(slots_, width) : status_.substr(0, width);
  // Blank what is left of a longer line drawn before, but never past the edge of a narrowed window.
  shownWidth_ = std::min(shownWidth_, width);
  err_ << '\r' << line;
  if (line.size() < shownWidth_) err_ << std::string(shownWidth_ - line.size(), ' ');
  err_.flush();
  shownWidth_ = std::max(shownWidth_, line.size());
  lastDraw_ = now;
}

}  // namespace kv
