#include "line/linux_line.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

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

// The process that holds a whole-file lock on the device, as /proc/locks lists it:
//   "1: FLOCK  ADVISORY  WRITE 4711 00:19:3 0 EOF" (pid, then major:minor in hex and the inode).
// This is how a flasher, which takes such a lock, is told apart from a program that merely has the
// line open (a simulator keeps its own terminal open all the time).
std::string LockHolder(const fs::path& locks, const struct stat& device, const std::string& self) {
  std::ifstream in(locks);
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(device.st_dev), minor(device.st_dev),
                static_cast<unsigned long>(device.st_ino));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
    if (kind == "FLOCK" && where == id && pid != self) return pid;
  }
  return {};
}

bool HasOpen(const fs::path& fdFolder, const fs::path& device) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fdFolder, error)) {
    std::error_code linkError;
    if (fs::read_symlink(entry.path(), linkError) == device) return true;
  }
  return false;
}

std::string Describe(const fs::path& proc, const std::string& pid) {
  std::ifstream comm(proc / pid / "comm");
  std::string name;
  std::getline(comm, name);
  return (name.empty() ? std::string("a program") : name) + " (pid " + pid + ")";
}

}  // namespace

std::string FindLineHolder(const std::string& device, const std::string& root) {
  std::error_code error;
  const fs::path target = fs::canonical(device, error);
  struct stat info {};
  if (error || ::stat(target.c_str(), &info) != 0) return {};
  const fs::path proc = fs::path(root) / "proc";
  const std::string self = std::to_string(::getpid());
  if (const std::string pid = LockHolder(proc / "locks", info, self); !pid.empty())
    return Describe(proc, pid);
  // No lock: a program that holds the line by the exclusive mark alone; any process with it open.
  for (const auto& process : fs::directory_iterator(proc, error)) {
    const std::string pid = process.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    if (HasOpen(process.path() / "fd", target)) return Describe(proc, pid);
  }
  return {};
}

}  // namespace kv
