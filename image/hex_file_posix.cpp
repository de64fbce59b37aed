// The HEX file front end on POSIX systems (Linux).
//
// Holding the file against writers: Linux has no share modes and no mandatory locks, so the reader takes
// a non-blocking open-file-description read lock over the whole file (fcntl F_OFD_SETLK, F_RDLCK). A
// file on which another holder has a write lock (OFD or classic POSIX record lock) is refused as
// "cannot open", and while the load runs any writer that asks for a write lock is refused. Writers that
// take no lock at all cannot be stopped on Linux. File systems without lock support are read unlocked.
//
// A directory cannot be read as a file and is refused as "cannot open". The file is opened without
// blocking, so a FIFO without a writer reads as an empty file instead of hanging the window.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <string>

#include "base/system_error.h"
#include "image/hex_file.h"

namespace kv {
namespace {

// Owns one descriptor and closes it exactly once.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over; this object then closes nothing.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// False only when another holder's write lock is in the way; other failures (no lock support) let the
// load go on unlocked.
bool TakeReadLock(int fd) {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
  return errno != EAGAIN && errno != EACCES;
}

// Opens an existing file for reading, never creating it. -1 when it is missing, not accessible, a
// directory, or write-locked by another holder; `reason` then says which.
int OpenForReading(const char* path, std::string& reason) {
  FileDescriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.valid()) {
    reason = SystemReason(errno);
    return -1;
  }
  struct stat info {};
  if (fstat(file.get(), &info) == 0 && S_ISDIR(info.st_mode)) {
    reason = SystemReason(EISDIR);
    return -1;
  }
  if (!TakeReadLock(file.get())) {
    reason = "another program is writing it";
    return -1;
  }
  // Reads block normally from here on: a FIFO with a writer delivers all of its bytes.
  const int flags = fcntl(file.get(), F_GETFL);
  if (flags >= 0) fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  return file.release();
}

// The range of SYSTEMTIME years; times outside it are not representable and leave the old value.
constexpr int FirstYear = 1601;
constexpr int LastYear = 30827;

void CaptureLastWriteTimeOf(int fd, SystemTime& time) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return;
  const time_t now = std::time(nullptr);
  struct tm nowLocal {};
  if (localtime_r(&now, &nowLocal) == nullptr) return;
  const time_t local = info.st_mtim.tv_sec + nowLocal.tm_gmtoff;
  struct tm fields {};
  if (gmtime_r(&local, &fields) == nullptr) return;
  const int year = fields.tm_year + 1900;
  if (year < FirstYear || year > LastYear) return;
  time.year = static_cast<uint16_t>(year);
  time.month = static_cast<uint16_t>(fields.tm_mon + 1);
  time.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
  time.day = static_cast<uint16_t>(fields.tm_mday);
  time.hour = static_cast<uint16_t>(fields.tm_hour);
  time.minute = static_cast<uint16_t>(fields.tm_min);
  time.second = static_cast<uint16_t>(fields.tm_sec);
  time.milliseconds = static_cast<uint16_t>(info.st_mtim.tv_nsec / 1000000);
}

}  // namespace

HexFile::HexFile(const char* path, std::string& reason) : handle_(OpenForReading(path, reason)) {}

HexFile::~HexFile() {
  if (IsOpen()) close(static_cast<int>(handle_));
}

bool HexFile::IsOpen() const {
  return handle_ >= 0;
}

void HexFile::CaptureLastWriteTime(SystemTime& time) const {
  CaptureLastWriteTimeOf(static_cast<int>(handle_), time);
}

bool HexFile::Restart() {
  struct stat info {};
  const int fd = static_cast<int>(handle_);
  return readError_.empty() && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && lseek(fd, 0, SEEK_SET) == 0;
}

std::span<const uint8_t> HexFile::NextChunk() {
  while (readError_.empty()) {
    const ssize_t n = read(static_cast<int>(handle_), buffer_.data(), buffer_.size());
    if (n > 0) return {buffer_.data(), static_cast<size_t>(n)};
    if (n == 0) break;
    if (errno != EINTR) readError_ = SystemReason(errno);
  }
  return {};
}

}  // namespace kv
