// The daily log's name and folder: a board that ends after midnight goes into the next day's file, and
// the folder follows the user's data folder.
#include "station/daily_log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

namespace kv {
namespace {

// A local wall-clock time.
std::chrono::system_clock::time_point Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&fields));
}

TEST(DailyLog, EachRowGoesToTheFileOfItsLocalDateInTheUsersDataFolder) {
  const struct {
    std::chrono::system_clock::time_point time;
    const char* path;
  } days[] = {
      {Local(2026, 12, 7, 0, 0, 0), "logs/station-2026-12-07.jsonl"},
      {Local(2026, 12, 7, 23, 59, 59), "logs/station-2026-12-07.jsonl"},
      {Local(2026, 12, 7, 23, 59, 59) + std::chrono::seconds(1), "logs/station-2026-12-08.jsonl"},
      {Local(2026, 12, 31, 23, 59, 59) + std::chrono::seconds(1), "logs/station-2027-01-01.jsonl"},
  };
  for (const auto& day : days) EXPECT_EQ(DailyLogPath("logs", day.time), day.path);

  const struct {
    std::map<std::string, std::string> environment;
    const char* folder;
  } folders[] = {
      {{{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/op"}}, "/data/ld6193"},
      {{{"XDG_DATA_HOME", "data"}, {"HOME", "/home/op"}}, "/home/op/.local/share/ld6193"},
      {{{"HOME", "/home/op"}}, "/home/op/.local/share/ld6193"},
      {{{"HOME", "home"}}, ""},
      {{}, ""},
  };
  for (const auto& folder : folders) {
    const auto lookup = [&folder](const char* name) -> const char* {
      const auto it = folder.environment.find(name);
      return it == folder.environment.end() ? nullptr : it->second.c_str();
    };
    EXPECT_EQ(DailyLogFolder(lookup), folder.folder);
  }
}

}  // namespace
}  // namespace kv
