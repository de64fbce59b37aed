#include "link/posix_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "link/line_settings.h"

namespace kv {

PosixPort::~PosixPort() {
  CloseDescriptor();
}

int PosixPort::OpenPort(int n) {
  return OpenDevice(PortDeviceName(n));
}

namespace {

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

}  // namespace

int PosixPort::OpenDevice(const std::string& path) {
  CloseDescriptor();  // never leak a line the caller forgot to close

  // O_NONBLOCK: a modem line without carrier would otherwise block in the open itself.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return FailOpen(path, errno);

  termios found{};
  if (::isatty(fd) != 1 || ::tcgetattr(fd, &found) != 0) {
    ::close(fd);
    return FailOpen(path, ENOTTY);
  }
  if (!TakeExclusively(fd)) {
    const int error = errno;
    ::close(fd);  // the flock, if taken, goes with the descriptor
    return FailOpen(path, error == EWOULDBLOCK ? EBUSY : error);
  }
  fd_ = fd;
  if (!MakeBlocking(fd)) {
    const int error = errno;
    CloseDescriptor();
    return FailOpen(path, error);
  }

  saved_ = found;
  const termios working = WorkingLineSettings(found);
  // As on the device's home platform, a line that refuses its settings still counts as open; it
  // shows up later as failed commands.
  (void)::tcsetattr(fd, TCSANOW, &working);
  // Bytes left on the line by an earlier run are no answer to anything this run sends.
  (void)PortDiscardInput();
  openError_ = {OpenFailure::None, path, {}};
  return 0;
}

int PosixPort::FailOpen(const std::string& path, int error) {
  OpenFailure cause = OpenFailure::Other;
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      cause = OpenFailure::NotFound;
      break;
    case EACCES:
    case EPERM:
      cause = OpenFailure::PermissionDenied;
      break;
    case EBUSY:
      cause = OpenFailure::Busy;
      break;
    case ENOTTY:
      cause = OpenFailure::NotSerial;
      break;
    default:
      break;
  }
  openError_ = {cause, path, std::strerror(error)};
  return 1;
}

void PosixPort::CloseDescriptor() {
  if (fd_ < 0) return;
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

bool PosixPort::PortFlush() {
  if (fd_ < 0) return false;
  // A signal (the flasher's Ctrl-C handling, say) must not turn a good line into a failed flush.
  int result = 0;
  do {
    result = ::tcdrain(fd_);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool PosixPort::PortWrite(const uint8_t* bytes, size_t count) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;  // an error, or a line that takes nothing
    }
  }
  return true;
}

bool PosixPort::PortDiscardInput() {
  return fd_ >= 0 && ::tcflush(fd_, TCIFLUSH) == 0;
}

bool PosixPort::LineHungUp() const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return errno != EINTR;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

ReadResult PosixPort::PortReadByte() {
  if (fd_ < 0) return {ReadStatus::Failure, 0};
  for (;;) {
    uint8_t byte = 0;
    const ssize_t n = ::read(fd_, &byte, 1);
    if (n == 1) return {ReadStatus::Byte, byte};
    if (n == 0) {
      // VMIN = 0, VTIME = 1: nothing within 100 ms. A line that went away also reads nothing, but
      // at once and for ever; it reports a hang-up, and that is a failure, not "no byte".
      return LineHungUp() ? ReadResult{ReadStatus::Failure, 0} : ReadResult{ReadStatus::NoByte, 0};
    }
    if (errno != EINTR) return {ReadStatus::Failure, 0};
  }
}

}  // namespace kv
