#include "sim/flash_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kv::sim {
namespace {

std::string Reason(const std::string& what, const std::string& path) {
  return what + " '" + path + "': " + std::strerror(errno);
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool LoadFlashFile(const std::string& path, Flash& flash, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = Reason("cannot open flash file", path);
    return false;
  }
  // Read one byte more than the flash holds, to notice a file that is too long.
  std::vector<uint8_t> staging(FlashSize + 1);
  size_t total = 0;
  while (total < staging.size()) {
    const ssize_t n = ::read(fd, staging.data() + total, staging.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = Reason("cannot read flash file", path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  ::close(fd);
  if (total != FlashSize) {
    why = "flash file '" + path + "' must hold exactly 524288 bytes, it holds " +
          (total > FlashSize ? std::string("more") : std::to_string(total));
    return false;
  }
  std::memcpy(flash.data(), staging.data(), FlashSize);
  return true;
}

bool DumpFlashFile(const std::string& path, const Flash& flash, std::string& why) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = Reason("cannot create dump file", temporary);
    return false;
  }
  const bool written = WriteAll(fd, flash.data(), FlashSize);
  if (!written) why = Reason("cannot write dump file", temporary);
  if (::close(fd) != 0 && written) {
    why = Reason("cannot write dump file", temporary);
    ::unlink(temporary.c_str());
    return false;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    why = Reason("cannot replace dump file", path);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace kv::sim
