// The flash's contents in files: the --flash image the device starts from, and the --dump file that
// tests and technicians compare. A dump is written to a temporary file and renamed over the old one,
// so a reader never sees half of it.
#pragma once

#include <string>

#include "sim/flash.h"

namespace kv::sim {

// Fills the flash from a file of exactly 524,288 bytes. On failure gives false, leaves the flash
// as it was, and says why in `why`.
bool LoadFlashFile(const std::string& path, Flash& flash, std::string& why);

// Writes the whole flash to `path` atomically. False (with the reason) when it could not.
bool DumpFlashFile(const std::string& path, const Flash& flash, std::string& why);

}  // namespace kv::sim
