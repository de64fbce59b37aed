// The port the window last chose, taken from its one-byte setting file "ld6193.cfg" in the working
// directory. The flasher only looks: it never creates, truncates or rewrites the file, so running it on
// a line never changes what the window will use next.
#pragma once

#include <optional>
#include <string>

#include "ports/port_choice.h"  // the window's file: its name and how a stored value is settled

namespace kv {

// The port for the byte at offset 0 of the file (nullopt: missing or empty file): 1 to 5 as stored,
// anything else 1, as the window's start-up decides.
int PortFromSetting(std::optional<unsigned char> firstByte);

// Reads the first byte of the file without creating or changing it; nullopt when it cannot be read.
std::optional<unsigned char> ReadFirstByte(const std::string& path);

// PortFromSetting(ReadFirstByte(path)).
int ReadPortSettingReadOnly(const std::string& path = PortSettingFileName);

}  // namespace kv
