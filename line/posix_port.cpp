#include "line/posix_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>

#include <array>

#include "base/system_error.h"
#include "line/line_settings.h"
#include "line/linux_line.h"

namespace kv {

PosixPort::~PosixPort() {
  CloseDescriptor();
}

namespace {

struct ErrnoCause {
  int error;
  OpenFailure cause;
};

// How the system's reasons for a failed open read to the user. EIO is what an on-board ttyS without a
// UART behind it answers, and what an adapter pulled out during the open answers.
constexpr std::array<ErrnoCause, 11> ErrnoCauses{{
    {ENOENT, OpenFailure::NotFound},
    {ENOTDIR, OpenFailure::NotFound},
    {ENXIO, OpenFailure::NotFound},
    {ENODEV, OpenFailure::NotFound},
    {EIO, OpenFailure::NotFound},
    {EACCES, OpenFailure::PermissionDenied},
    {EPERM, OpenFailure::PermissionDenied},
    {EROFS, OpenFailure::PermissionDenied},
    {EBUSY, OpenFailure::Busy},
    {ENOTTY, OpenFailure::NotSerial},
    {EISDIR, OpenFailure::NotSerial},
}};

// Takes the line for ourselves. TIOCEXCL turns away every later open except root's, so a lock is
// taken too; the lock first, so that a busy line is left exactly as we found it. (A TIOCEXCL mark
// found on the line is not held against us: on a pseudo-terminal a holder that died leaves its mark
// behind for good, and it would lock root out of the simulator's line for ever.)
bool TakeExclusively(int fd) {
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd, TIOCEXCL) == 0;
}

bool MakeBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Why `path` did not open, from the system's `error`; for a busy line, who holds it where that shows.
OpenError RefusedOpen(const std::string& path, int error) {
  const OpenFailure cause = OpenFailureOfErrno(error);
  std::string detail = SystemErrorText(error);
  if (cause == OpenFailure::Busy) {
    const std::string holder = FindLineHolder(path, "/");
    detail = holder.empty() ? std::string() : "held by " + holder;
  }
  return {cause, path, std::move(detail)};
}

}  // namespace

OpenFailure OpenFailureOfErrno(int error) {
  for (const ErrnoCause& row : ErrnoCauses) {
    if (row.error == error) return row.cause;
  }
  return OpenFailure::Other;
}

OpenError PosixPort::OpenDevice(const std::string& path) {
  CloseDescriptor();  // never leak a line the caller forgot to close
  openError_ = Open(path);
  return openError_;
}

OpenError PosixPort::Open(const std::string& path) {
  // O_NONBLOCK: a modem line without carrier would otherwise block in the open itself.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return RefusedOpen(path, errno);

  termios found{};
  if (::isatty(fd) != 1 || ::tcgetattr(fd, &found) != 0) {
    ::close(fd);
    return RefusedOpen(path, ENOTTY);
  }
  if (!TakeExclusively(fd)) {
    const int error = errno;
    ::close(fd);  // the flock, if taken, goes with the descriptor
    return RefusedOpen(path, error == EWOULDBLOCK ? EBUSY : error);
  }
  fd_ = fd;
  if (!MakeBlocking(fd)) {
    const int error = errno;
    CloseDescriptor();
    return RefusedOpen(path, error);
  }

  saved_ = found;
  const termios working = WorkingLineSettings(found);
  // As on the device's home platform, a line that refuses its settings still counts as open; it
  // shows up later as failed commands.
  (void)::tcsetattr(fd, TCSANOW, &working);
  lowLatencySet_ = RequestLowLatency(fd);
  // Bytes left on the line by an earlier run are no answer to anything this run sends.
  (void)DiscardInput();
  fault_ = {};
  return {OpenFailure::None, path, {}};
}

void PosixPort::CloseDescriptor() {
  if (fd_ < 0) return;
  if (lowLatencySet_) PutBackLatency(fd_);
  lowLatencySet_ = false;
  // Drop the exclusive mark first: a pseudo-terminal's far end keeps it alive after our close, and
  // the next program (or our next download) must be able to open the line again.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);  // the flock goes with the descriptor; a failed close still counts as closed
  fd_ = -1;
}

void PosixPort::ClosePort() {
  CloseDescriptor();
}

void PosixPort::ShutdownPort() {
  if (fd_ < 0) return;
  clock_.Sleep(ShutdownPauseMs);
  (void)::tcsetattr(fd_, TCSANOW, &saved_);
  CloseDescriptor();
}

namespace {

// What a line that has gone away answers: an adapter pulled out (EIO, ENODEV, ENXIO), the far end of
// a pseudo-terminal closed (EIO).
bool LineGoneError(int error) {
  return error == EIO || error == ENODEV || error == ENXIO;
}

// A failed `operation` ("read"), in the system's words for `error`.
PortFault SystemFault(const char* operation, int error) {
  return {std::string(operation) + ": " + SystemReason(static_cast<unsigned long>(error)),
          LineGoneError(error)};
}

}  // namespace

LineResult PosixPort::Flush() {
  if (fd_ < 0) return PortClosedFault();
  // A signal (the flasher's Ctrl-C handling, say) must not turn a good line into a failed flush.
  int result = 0;
  do {
    result = ::tcdrain(fd_);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return SystemFault("drain", errno);
  return {};
}

LineResult PosixPort::Write(const uint8_t* bytes, size_t count) {
  if (fd_ < 0) return PortClosedFault();
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return SystemFault("write", n < 0 ? errno : EIO);  // an error, or a line that takes nothing
    }
  }
  return {};
}

LineResult PosixPort::DiscardInput() {
  if (fd_ < 0) return PortClosedFault();
  if (::tcflush(fd_, TCIFLUSH) != 0) return SystemFault("discard", errno);
  return {};
}

bool PosixPort::LineHungUp() const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return errno != EINTR;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

ByteRead PosixPort::ReadByte() {
  if (fd_ < 0) return PortClosedFault();
  for (;;) {
    uint8_t byte = 0;
    const ssize_t n = ::read(fd_, &byte, 1);
    if (n == 1) return ReadResult{ReadStatus::Byte, byte};
    if (n == 0) {
      // VMIN = 0, VTIME = 1: nothing within 100 ms. A line that went away also reads nothing, but
      // at once and for ever; it reports a hang-up, and that is a failure, not "no byte".
      if (!LineHungUp()) return ReadResult{ReadStatus::NoByte, 0};
      return PortFault{"read: the line hung up", true};
    }
    if (errno != EINTR) return SystemFault("read", errno);
  }
}

}  // namespace kv
