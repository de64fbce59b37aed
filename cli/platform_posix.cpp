#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "cli/platform.h"

namespace kv {
namespace {

std::atomic<bool> interruptRequested{false};
std::atomic<unsigned> interruptCount{0};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<unsigned>::is_always_lock_free, "counted in a signal handler");
// Made before main, so that a handler never sees it change.
const int interruptWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

extern "C" void OnInterrupt(int /*signal*/) {
  const int savedErrno = errno;  // the interrupted code may be about to read it
  interruptRequested.store(true);
  interruptCount.fetch_add(1);
  const uint64_t one = 1;
  // A refused write means a full counter: the wake is raised anyway.
  if (interruptWake >= 0) (void)!::write(interruptWake, &one, sizeof one);
  errno = savedErrno;
}

}  // namespace

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

size_t TerminalColumns() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

const std::atomic<bool>& WatchForInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call returns EINTR and its caller goes round again.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader of our output that goes away (a script's `| head -1`) must not kill a download halfway
  // through: the lost lines are not worth a half-programmed device.
  signal(SIGPIPE, SIG_IGN);
  return interruptRequested;
}

const std::atomic<unsigned>& InterruptCount() {
  return interruptCount;
}

WakeHandle InterruptWake() {
  return interruptWake;
}

}  // namespace kv
