#include "link/system_clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

namespace kv {

void SystemClock::Sleep(uint32_t ms) {
#ifdef _WIN32
  ::Sleep(ms);
#else
  // sleep_for resumes after signals, so a pause is never cut short.
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

}  // namespace kv
