#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "cli/platform.h"

namespace kv {
namespace {

std::atomic<bool> interruptRequested{false};
std::atomic<unsigned> interruptCount{0};
static_assert(std::atomic<bool>::is_always_lock_free, "set from the console's handler thread");
// Made before main, so that the handler never sees it change.
const HANDLE interruptWake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);

// One more request, or `count` at once.
void Request(unsigned count) {
  interruptRequested.store(true);
  interruptCount.fetch_add(count);
  if (interruptWake) ::SetEvent(interruptWake);
}

// Windows ends the process soon after the handler for a closing console returns (about 5 s after
// the event at the latest). Waiting here gives the downloads time to shut their ports and end
// normally; when main returns first, the process exits and takes this thread with it.
constexpr DWORD ClosingGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      Request(1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // No time to let a station's downloads finish: counted as a second request.
      Request(2);
      ::Sleep(ClosingGraceMs);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool StandardErrorIsTerminal() {
  // A console, not merely a character device: the C runtime's _isatty also says yes for NUL, and a
  // progress line is of no use there.
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

const std::atomic<bool>& WatchForInterrupts() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  return interruptRequested;
}

const std::atomic<unsigned>& InterruptCount() {
  return interruptCount;
}

WakeHandle InterruptWake() {
  return interruptWake ? reinterpret_cast<WakeHandle>(interruptWake) : NoWakeHandle;
}

}  // namespace kv
