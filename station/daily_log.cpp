#include "station/daily_log.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/system_error.h"

namespace kv {

std::string DailyLogPath(const std::string& folder, std::chrono::system_clock::time_point time) {
  const LocalDate date = LocalDateOf(time);
  char name[40];
  std::snprintf(name, sizeof name, "station-%04d-%02u-%02u.jsonl", date.year, date.month, date.day);
  return (std::filesystem::path(folder) / name).string();
}

std::string OpenDailyLog(const std::string& folder, const std::string& fileName, const LoadedFile& file,
                         std::span<const uint8_t> bytes, RunLog& log) {
  const std::string path = DailyLogPath(folder, std::chrono::system_clock::now());
  if (folder.empty()) return "cannot write the log " + path + ": no data folder is set for this user";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return "cannot write the log " + path + ": " + LowerFirst(error.message());
  const std::string problem = OpenRunLog(path, fileName, file, bytes, log);
  if (problem.empty()) log.dailyFolder = folder;
  return problem;
}

}  // namespace kv
