// What the program remembers about the file of the last "Load File": its name (for the identification
// block) and its last-write time in local time (ditto). Both front ends turn a chosen path into these
// the same way, so a file sealed by the window and by the flasher carries the same block.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Calendar fields of a local time, laid out like the platform's SYSTEMTIME. All 0 before any load.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t dayOfWeek = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
  friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// The path with its letters a to z raised to A to Z; every other byte unchanged.
std::string UpperCasePath(std::string_view path);

// LoadedFileName for a chosen path: the upper-cased last path component without its extension (the
// part from its last full stop on). Both '/' and '\\' separate folders, and a drive prefix "C:" is
// dropped. "C:\\fw\\main.rel.hex" gives "MAIN.REL"; "boot" gives "BOOT".
std::string LoadedFileNameFor(std::string_view path);

}  // namespace kv
