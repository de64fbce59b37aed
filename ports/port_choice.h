// The port the user chose in the window, as both the window and the flasher read it: the number n of
// COMn, kept in the one-byte file "ld6193.cfg" in the working directory between runs.
#pragma once

namespace kv {

inline constexpr const char* PortSettingFileName = "ld6193.cfg";

// The port a stored value stands for at start-up: 1 to 5 as stored (5 has no menu item but stands),
// anything else 1.
constexpr int SettledPortNumber(int stored) {
  return stored >= 1 && stored <= 5 ? stored : 1;
}

}  // namespace kv
