// The station window's record of every board: one log a day, "station-YYYY-MM-DD.jsonl" (the local
// date), in a per-user data folder. A shift that goes on past midnight goes on in the next day's
// file: a RunLog with a daily folder writes each row into the file of the row's own date.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "ports/port_names.h"
#include "station/device_run.h"

namespace kv {

struct LocalDate {
  int year = 0;
  unsigned month = 0;  // 1 to 12
  unsigned day = 0;    // 1 to 31
};

// The local calendar date of `time` (daily_log_posix.cpp, daily_log_win32.cpp).
LocalDate LocalDateOf(std::chrono::system_clock::time_point time);

// "FOLDER/station-2026-12-07.jsonl" for the local date of `time`.
std::string DailyLogPath(const std::string& folder, std::chrono::system_clock::time_point time);

// This user's folder for the daily logs: $XDG_DATA_HOME/ld6193, else ~/.local/share/ld6193 on Linux;
// %LOCALAPPDATA%\ld6193 on Windows. Empty when the environment names no such folder.
std::string DailyLogFolder(const EnvironmentLookup& environment);

// Makes `folder` (and the folders above it) when missing and opens today's log in it as OpenRunLog
// does; the log then rolls to each row's own day. Returns "", or "cannot write the log PATH: why".
std::string OpenDailyLog(const std::string& folder, const std::string& fileName, const LoadedFile& file,
                         std::span<const uint8_t> bytes, RunLog& log);

}  // namespace kv
