#include "ui/port_setting.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

ssize_t MoveOneByte(int fd, uint8_t& byte, bool write) {
  ssize_t count;
  do {
    count = write ? pwrite(fd, &byte, 1, 0) : pread(fd, &byte, 1, 0);
  } while (count < 0 && errno == EINTR);
  return count;
}

}  // namespace

int ReadPortSetting(const char* fileName, int& destination, MessageSink& messages) {
  const int fd = OpenExclusive(fileName, O_RDONLY);
  if (fd < 0) {
    messages.ShowMessage(CannotOpenSettingMessage);
    return 1;
  }
  uint8_t byte = 0;
  const ssize_t count = MoveOneByte(fd, byte, false);
  close(fd);  // also releases the lock
  if (count != 1) return 1;
  destination = byte;
  return 0;
}

int WritePortSetting(const char* fileName, int value, MessageSink& messages) {
  const int fd = OpenExclusive(fileName, O_RDWR);
  if (fd < 0) {
    messages.ShowMessage(CannotWriteSettingMessage);
    return 1;
  }
  uint8_t byte = static_cast<uint8_t>(value & 0xFF);
  const ssize_t count = MoveOneByte(fd, byte, true);
  close(fd);
  return count == 1 ? 0 : 1;
}

}  // namespace kv
