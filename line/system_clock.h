// The real clock: its pauses really sleep (the tests use a virtual clock instead).
#pragma once

#include <cstdint>

#include "line/port.h"

namespace kv {

// Milliseconds of the steady clock, for waits that are given no Clock (the sockets time their own).
uint64_t SteadyNowMs();

class SystemClock : public Clock {
 public:
  // Blocks the calling thread for at least `ms` milliseconds, signals notwithstanding.
  void Sleep(uint32_t ms) override;
  uint64_t NowMs() override;
};

}  // namespace kv
