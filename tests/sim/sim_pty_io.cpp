#include "tests/sim/sim_pty_io.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kv::test {
namespace {

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

std::vector<uint8_t> Sealed(std::vector<uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(0 - sum));
  return bytes;
}

}  // namespace

int OpenRawTerminal(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    close(fd);
    return -1;
  }
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

bool WriteBytes(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> ReadBytes(int fd, size_t count, int timeoutMs) {
  std::vector<uint8_t> got;
  const int64_t deadline = NowMs() + timeoutMs;
  while (got.size() < count) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    if (!(p.revents & POLLIN)) break;  // hung up
    uint8_t buffer[512];
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

std::vector<uint8_t> ErasePacketFor(uint8_t code) {
  return Sealed({0xA2, 0x10, code});
}

std::vector<uint8_t> PagePacketFor(uint16_t page, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes{0xA2, 0x11, static_cast<uint8_t>(page & 0xFF), static_cast<uint8_t>(page >> 8)};
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.resize(260, 0xFF);
  return Sealed(bytes);
}

std::vector<uint8_t> FinishPacketBytes() {
  return {0xA2, 0x13, 0x4B};
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kv-sim-test-XXXXXX";
  if (mkdtemp(pattern.data())) dir_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

}  // namespace kv::test
