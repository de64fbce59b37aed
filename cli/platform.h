// The few things the flasher needs from the operating system, one file per platform
// (platform_posix.cpp, platform_win32.cpp): whether standard error is a terminal and how wide, Ctrl-C
// and termination requests.
#pragma once

#include <atomic>

#include "cli/flasher.h"
#include "cli/options.h"

namespace kv {

bool StandardErrorIsTerminal();
// Columns of the terminal on standard error; 0 when unknown.
size_t TerminalColumns();

// Installs the handlers for Ctrl-C and termination requests; they only set the returned flag.
const std::atomic<bool>& WatchForInterrupts();

}  // namespace kv
