#include <time.h>

#include <filesystem>

#include "station/daily_log.h"

namespace kv {

LocalDate LocalDateOf(std::chrono::system_clock::time_point time) {
  const time_t seconds = std::chrono::system_clock::to_time_t(time);
  struct tm fields {};
  if (localtime_s(&fields, &seconds) != 0) return {};
  return {fields.tm_year + 1900, static_cast<unsigned>(fields.tm_mon + 1),
          static_cast<unsigned>(fields.tm_mday)};
}

std::string DailyLogFolder(const EnvironmentLookup& environment) {
  const char* local = environment("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return {};
  return (std::filesystem::path(local) / "ld6193").string();
}

}  // namespace kv
