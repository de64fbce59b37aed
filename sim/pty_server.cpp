#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <utility>

#include "sim/flash_file.h"

namespace kv::sim {
namespace {

uint64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// How often the line is checked for an exclusive mark left by a host that died holding it.
constexpr uint64_t StaleMarkCheckNs = 250'000'000;

// How long the master is left alone after an error on it (no host has the line open for the moment),
// so that the loop rests instead of spinning on the error.
constexpr uint64_t MasterRestNs = 20'000'000;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// No echo, no line editing, no translation of any byte: the line carries binary packets.
bool MakeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Makes `link` point to `target`, replacing a symbolic link left behind by an earlier run (but never
// a real file).
// A link left by a simulator that died points at a terminal that is gone, and is replaced. One whose
// terminal still exists is served by a live simulator (a terminal lives as long as its device end is
// held), and taking it over would leave that simulator's host talking to the wrong device.
bool MakeLink(const std::string& target, const std::string& link, std::string& why) {
  if (::symlink(target.c_str(), link.c_str()) == 0) return true;
  struct stat st {};
  const bool isLink = errno == EEXIST && ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  if (isLink && ::stat(link.c_str(), &st) == 0) {
    char served[256] = {};
    const ssize_t length = ::readlink(link.c_str(), served, sizeof served - 1);
    why = "--link '" + link + "' already points at " +
          (length > 0 ? std::string(served) : "a live terminal") +
          ", which a running simulator serves; stop that simulator or choose another path";
    return false;
  }
  if (isLink && ::unlink(link.c_str()) == 0 && ::symlink(target.c_str(), link.c_str()) == 0) return true;
  why = SystemError("cannot make link '" + link + "'");
  return false;
}

// Whether a process other than this one has the terminal `device` open. Only the processes this one
// may look into are seen: its own user's and, for root, every one. That is everyone who can open
// the terminal at all, which belongs to this user and lets no other user's processes read it.
bool AnotherProcessHasOpen(dev_t device) {
  namespace fs = std::filesystem;
  std::error_code error;
  const std::string self = std::to_string(::getpid());
  for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;  // gone meanwhile, or not ours to look into
    for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
      struct stat st {};
      if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) return true;
    }
  }
  return false;
}

}  // namespace

// The --trace file: one line per packet, reply byte or note, flushed per line so a reader following
// the file sees each line as it happens.
class PtyServer::TraceFile : public TraceSink {
 public:
  ~TraceFile() override {
    if (file_) std::fclose(file_);
  }
  bool Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
  }
  void TracePacket(std::span<const uint8_t> bytes) override {
    if (!file_) return;
    std::fputc('>', file_);
    for (uint8_t b : bytes) std::fprintf(file_, " %02X", b);
    EndLine();
  }
  void TraceReply(uint8_t byte) {
    if (!file_) return;
    std::fprintf(file_, "< %02X", byte);
    EndLine();
  }
  void TraceNote(std::string_view note) override {
    if (!file_) return;
    std::fprintf(file_, "# %.*s", static_cast<int>(note.size()), note.data());
    EndLine();
  }

 private:
  void EndLine() {
    std::fputc('\n', file_);
    std::fflush(file_);
  }
  std::FILE* file_ = nullptr;
};

PtyServer::PtyServer(SimOptions options)
    : options_(std::move(options)),
      trace_(std::make_unique<TraceFile>()),
      device_(options_.device, trace_.get()) {}

PtyServer::~PtyServer() {
  Join();
  CloseLine();
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
}

bool PtyServer::Open(std::string& why) {
  if (!options_.flashPath.empty() && !LoadFlashFile(options_.flashPath, device_.flash(), why)) return false;
  if (!options_.tracePath.empty() && !trace_->Open(options_.tracePath)) {
    why = SystemError("cannot create trace file '" + options_.tracePath + "'");
    return false;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    why = SystemError("cannot make a pipe");
    return false;
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];

  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    why = SystemError("cannot create a pseudo-terminal");
    return false;
  }
  slavePath_ = name;
  slaveKeeper_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveKeeper_ < 0 || !MakeRaw(slaveKeeper_)) {
    why = SystemError("cannot set up '" + slavePath_ + "'");
    return false;
  }
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    why = SystemError("cannot set up the pseudo-terminal");
    return false;
  }
  if (!options_.linkPath.empty()) {
    if (!MakeLink(slavePath_, options_.linkPath, why)) return false;
    linkMade_ = true;
  }
  return true;
}

void PtyServer::Stop() {
  stop_.store(true);
  if (wakeWrite_ >= 0) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &wake, 1);
  }
}

bool PtyServer::Start(std::string& why) {
  if (!Open(why)) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void PtyServer::Join() {
  if (!thread_.joinable()) return;
  Stop();
  thread_.join();
}

void PtyServer::ReleaseStaleExclusiveMark() {
  // A host takes the line with a lock and an exclusive mark. On a real port its death closes the
  // line and clears the mark; here our own descriptor keeps the terminal alive, so the mark would
  // outlive it and lock every later host out. Only a mark whose holder is gone is cleared: a lock
  // taken means a live holder; a free lock (a holder that marks without locking, or none at all)
  // is settled by whether any other process still has the terminal open.
  int exclusive = 0;
  if (slaveKeeper_ < 0 || ::ioctl(slaveKeeper_, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) return;
  if (::flock(slaveKeeper_, LOCK_EX | LOCK_NB) != 0) return;
  struct stat st {};
  if (::fstat(slaveKeeper_, &st) != 0 || AnotherProcessHasOpen(st.st_rdev)) {
    ::flock(slaveKeeper_, LOCK_UN);
    return;
  }
  ::ioctl(slaveKeeper_, TIOCNXCL);
  ::flock(slaveKeeper_, LOCK_UN);
  trace_->TraceNote("line released: the host that held it has gone");
}

int64_t PtyServer::PollTimeoutNs(uint64_t now) const {
  int64_t timeout = -1;
  if (master_ >= 0) timeout = nextMarkCheck_ > now ? static_cast<int64_t>(nextMarkCheck_ - now) : 0;
  if (master_ >= 0 && device_.HasReply() && !writeBlocked_) {
    const uint64_t due = device_.NextReply().atNs;
    timeout = std::min(timeout, due > now ? static_cast<int64_t>(due - now) : int64_t{0});
  }
  if (master_ >= 0 && (writeBlocked_ || masterQuietUntil_ > now)) {
    // A full or troubled terminal gives no readiness of its own worth waiting on: look again soon.
    constexpr int64_t RecheckNs = 10'000'000;
    if (timeout < 0 || timeout > RecheckNs) timeout = RecheckNs;
  }
  return timeout;
}

void PtyServer::SendDueReplies(uint64_t now) {
  writeBlocked_ = false;
  while (master_ >= 0 && device_.HasReply() && device_.NextReply().atNs <= now) {
    const uint8_t byte = device_.NextReply().byte;
    const ssize_t n = ::write(master_, &byte, 1);
    if (n == 1) {
      trace_->TraceReply(byte);
      device_.PopReply();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // EAGAIN: the host has not read for a while and the buffer is full; EIO: no slave is open. Either
    // way the byte waits, as it would in a device's transmitter.
    writeBlocked_ = true;
    return;
  }
}

void PtyServer::ReadFromHost() {
  std::array<uint8_t, 4096> buffer;
  const ssize_t n = ::read(master_, buffer.data(), buffer.size());
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // EIO: the slave side is gone for the moment. Rest instead of spinning on it.
    masterQuietUntil_ = NowNs() + MasterRestNs;
    return;
  }
  const uint64_t now = NowNs();
  for (ssize_t i = 0; i < n; ++i) {
    const ByteEffect effect = device_.OnByte(buffer[static_cast<size_t>(i)], now);
    if (effect.dumpFlash) WriteDump();
    if (effect.hangUp) {
      HangUp();
      return;
    }
  }
}

void PtyServer::HangUp() {
  // A pulled cable: the host's reads now find nothing and its writes fail.
  CloseFd(master_);
  CloseFd(slaveKeeper_);
}

void PtyServer::WriteDump() {
  if (options_.dumpPath.empty()) return;
  std::string why;
  if (!DumpFlashFile(options_.dumpPath, device_.flash(), why))
    std::cerr << "kv6193-sim: " << why << std::endl;
}

void PtyServer::Run() {
  // Reply bytes are due to the microsecond on a paced line; the default 50 us of timer slack per
  // wait would add up to a visible share of a page's 25 ms.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  while (!stop_.load()) {
    const uint64_t now = NowNs();
    SendDueReplies(now);
    if (now >= nextMarkCheck_) {
      ReleaseStaleExclusiveMark();
      nextMarkCheck_ = now + StaleMarkCheckNs;
    }

    std::array<pollfd, 2> fds{};
    fds[0] = {wakeRead_, POLLIN, 0};
    nfds_t count = 1;
    if (master_ >= 0 && masterQuietUntil_ <= now) {
      fds[1] = {master_, static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0};
      count = 2;
    }
    const int64_t timeoutNs = PollTimeoutNs(now);
    timespec timeout{timeoutNs / 1'000'000'000, timeoutNs % 1'000'000'000};
    const int ready = ::ppoll(fds.data(), count, timeoutNs < 0 ? nullptr : &timeout, nullptr);
    if (ready < 0) continue;  // EINTR: a signal, perhaps the one that stops us
    if (fds[0].revents & POLLIN) {
      char drain[16];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (count == 2 && master_ >= 0) {
      if (fds[1].revents & POLLIN) {
        ReadFromHost();
      } else if (fds[1].revents & (POLLHUP | POLLERR)) {
        masterQuietUntil_ = NowNs() + MasterRestNs;
      }
    }
  }
  WriteDump();
  CloseLine();
}

void PtyServer::CloseLine() {
  CloseFd(master_);
  CloseFd(slaveKeeper_);
  if (linkMade_) {
    ::unlink(options_.linkPath.c_str());
    linkMade_ = false;
  }
}

}  // namespace kv::sim
