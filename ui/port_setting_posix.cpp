// The setting file through POSIX calls: an exclusive flock stands for the share mode 0 of the
// program's home platform.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "ui/port_setting.h"

namespace kv {
namespace {

// New files get the usual rw-rw-rw- less the umask, as any other program's files would.
constexpr mode_t NewFileMode = 0666;

// Opens (creating when missing, never truncating) and takes the file for ourselves alone. Another holder
// of the lock makes the open fail at once rather than wait: the program must never hang on it.
int OpenExclusive(const char* fileName, int access) {
  int fd;
  do {
    fd = open(fileName, access | O_CREAT | O_CLOEXEC | O_NOCTTY, NewFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SettingFileStatus MoveSettingByte(const char* fileName, ByteMove move, uint8_t& byte) {
  const bool write = move == ByteMove::Write;
  const int fd = OpenExclusive(fileName, write ? O_RDWR : O_RDONLY);
  if (fd < 0) return SettingFileStatus::NotOpened;
  ssize_t count;
  do {
    count = write ? pwrite(fd, &byte, 1, 0) : pread(fd, &byte, 1, 0);
  } while (count < 0 && errno == EINTR);
  close(fd);  // also releases the lock
  return count == 1 ? SettingFileStatus::Moved : SettingFileStatus::NotMoved;
}

}  // namespace kv
