// A time limit as a plain value: the reading of a millisecond clock when the wait began, and how long
// it may last. It knows no clock of its own: every wait reads its clock (the line's Clock, a steady
// clock) and asks the deadline what is left, so that waits on real and on virtual time read alike.
// Readings are milliseconds on a clock with an arbitrary start; only differences mean anything.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kv {

class Deadline {
 public:
  constexpr Deadline(uint64_t startMs, uint64_t limitMs) : start_(startMs), limit_(limitMs) {}

  // When the wait began, how long it may last, and when it ends.
  constexpr uint64_t Start() const { return start_; }
  constexpr uint64_t LimitMs() const { return limit_; }
  constexpr uint64_t End() const { return start_ + limit_; }

  // The time is up at `now`.
  constexpr bool Passed(uint64_t now) const { return now >= End(); }
  // What is left at `now`; 0 once the time is up.
  constexpr uint64_t RemainingMs(uint64_t now) const { return Passed(now) ? 0 : End() - now; }
  // What has gone since the wait began (0 for a reading before it).
  constexpr uint64_t ElapsedMs(uint64_t now) const { return now > start_ ? now - start_ : 0; }
  // What is left at `now`, at most `most` ms: for one step of a wait that must also wake that often.
  constexpr uint64_t StepMs(uint64_t now, uint64_t most) const { return std::min(RemainingMs(now), most); }

  // The same start with a longer or shorter limit (a window widened by a round trip).
  constexpr Deadline WidenedBy(uint64_t ms) const { return {start_, limit_ + ms}; }

 private:
  uint64_t start_;
  uint64_t limit_;
};

}  // namespace kv
