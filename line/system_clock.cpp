#include "line/system_clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif
#include <chrono>

namespace kv {

void SystemClock::Sleep(uint32_t ms) {
#ifdef _WIN32
  ::Sleep(ms);
#else
  // sleep_for resumes after signals, so a pause is never cut short.
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

uint64_t SteadyNowMs() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

uint64_t SystemClock::NowMs() {
  return SteadyNowMs();
}

}  // namespace kv
