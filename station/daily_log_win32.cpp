#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <filesystem>

#include "station/daily_log.h"

namespace kv {

// The date in Windows' own time zone, as the taskbar's clock shows it. The C library's localtime
// follows a TZ variable instead, read in its own format: a POSIX one that a shell left there
// ("<+0530>-5:30") put the day's log 22 days back.
LocalDate LocalDateOf(std::chrono::system_clock::time_point time) {
  constexpr int64_t UnixEpochTicks = 116444736000000000;  // 1970-01-01 in 100 ns ticks since 1601
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
  const int64_t ticks = std::chrono::duration_cast<Ticks>(time.time_since_epoch()).count() + UnixEpochTicks;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  if (!::FileTimeToSystemTime(&utc, &universal) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return {};
  return {local.wYear, local.wMonth, local.wDay};
}

std::string DailyLogFolder(const EnvironmentLookup& environment) {
  const char* local = environment("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return {};
  return (std::filesystem::path(local) / "ld6193").string();
}

}  // namespace kv
