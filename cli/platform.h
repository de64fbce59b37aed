// The few things the flasher needs from the operating system, one file per platform
// (platform_posix.cpp, platform_win32.cpp): whether standard error is a terminal and how wide, Ctrl-C
// and termination requests.
#pragma once

#include <atomic>

#include "cli/flasher.h"
#include "cli/options.h"
#include "ports/port_names.h"

namespace kv {

bool StandardErrorIsTerminal();
// Columns of the terminal on standard error; 0 when unknown.
size_t TerminalColumns();

// Installs the handlers for Ctrl-C and termination requests; they only set the returned flag, count
// the requests and raise InterruptWake.
const std::atomic<bool>& WatchForInterrupts();
// The requests so far: the station stops at the first and shuts its downloads down at the second.
const std::atomic<unsigned>& InterruptCount();
// Raised at every request, so that the station's sleep ends at once whichever thread the request
// came to (on Windows the handler has a thread of its own); NoWakeHandle when the system gave none.
WakeHandle InterruptWake();

}  // namespace kv
