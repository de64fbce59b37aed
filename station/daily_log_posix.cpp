#include <time.h>

#include <filesystem>

#include "station/daily_log.h"

namespace kv {

LocalDate LocalDateOf(std::chrono::system_clock::time_point time) {
  const time_t seconds = std::chrono::system_clock::to_time_t(time);
  struct tm fields {};
  if (localtime_r(&seconds, &fields) == nullptr) return {};
  return {fields.tm_year + 1900, static_cast<unsigned>(fields.tm_mon + 1),
          static_cast<unsigned>(fields.tm_mday)};
}

std::string DailyLogFolder(const EnvironmentLookup& environment) {
  // Relative folders in these variables are to be ignored.
  std::filesystem::path data;
  if (const char* xdg = environment("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    data = xdg;
  } else if (const char* home = environment("HOME"); home != nullptr && home[0] == '/') {
    data = std::filesystem::path(home) / ".local/share";
  } else {
    return {};
  }
  return (data / "ld6193").string();
}

}  // namespace kv
