#include "link/linux_line.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kv {
namespace fs = std::filesystem;

bool RequestLowLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return false;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void PutBackLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags &= ~ASYNC_LOW_LATENCY;
  (void)::ioctl(fd, TIOCSSERIAL, &serial);  // a line that refuses stays as it is; nothing to lose
}

namespace {

bool HasOpen(const fs::path& fdFolder, const fs::path& device) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fdFolder, error)) {
    std::error_code linkError;
    if (fs::read_symlink(entry.path(), linkError) == device) return true;
  }
  return false;
}

}  // namespace

std::string FindLineHolder(const std::string& device, const std::string& root) {
  std::error_code error;
  const fs::path target = fs::canonical(device, error);
  if (error) return {};
  const std::string self = std::to_string(::getpid());
  for (const auto& process : fs::directory_iterator(fs::path(root) / "proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    if (!HasOpen(process.path() / "fd", target)) continue;
    std::ifstream comm(process.path() / "comm");
    std::string name;
    std::getline(comm, name);
    return (name.empty() ? std::string("a program") : name) + " (pid " + pid + ")";
  }
  return {};
}

}  // namespace kv
