#include "tests/support/delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

namespace kv::test {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting pump looks whether the proxy is stopping.
constexpr int StopCheckMs = 50;

void NoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int ConnectTo(const std::string& host, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

struct Chunk {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
};

}  // namespace

DelayProxy::~DelayProxy() {
  Stop();
}

bool DelayProxy::Start(const std::string& host, int port, uint32_t roundTripMs) {
  host_ = host;
  upstreamPort_ = port;
  oneWayMs_ = roundTripMs / 2;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error_ = std::string("cannot listen: ") + std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
  return true;
}

void DelayProxy::Accept() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, StopCheckMs) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    NoDelay(client);
    const int server = ConnectTo(host_, upstreamPort_);
    if (server < 0) {
      ::close(client);
      continue;
    }
    const std::lock_guard guard(lock_);
    sockets_.push_back(client);
    sockets_.push_back(server);
    pumps_.emplace_back([this, client, server] { Pump(client, server); });
    pumps_.emplace_back([this, client, server] { Pump(server, client); });
  }
}

// Reads what `from` sends and passes it on to `to` one way's delay later, in order; an end of the
// stream is passed on the same way, once everything before it has gone.
void DelayProxy::Pump(int from, int to) {
  std::deque<Chunk> queue;
  bool ended = false;
  uint8_t buffer[4096];
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    while (!queue.empty() && queue.front().due <= now) {
      const std::vector<uint8_t>& bytes = queue.front().bytes;
      if (::send(to, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) return;
      queue.pop_front();
    }
    if (ended && queue.empty()) {
      ::shutdown(to, SHUT_WR);
      return;
    }
    int wait = StopCheckMs;
    if (!queue.empty()) {
      const auto untilDue = std::chrono::duration_cast<std::chrono::milliseconds>(queue.front().due - now);
      wait = std::min(wait, static_cast<int>(untilDue.count()) + 1);
    }
    pollfd p{from, static_cast<short>(ended ? 0 : POLLIN), 0};
    if (::poll(&p, 1, wait) <= 0 || ended) continue;
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended = true;
    } else {
      queue.push_back({Clock::now() + std::chrono::milliseconds(oneWayMs_), {buffer, buffer + n}});
    }
  }
}

void DelayProxy::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& pump : pumps_) pump.join();
  pumps_.clear();
  for (int fd : sockets_) ::close(fd);
  sockets_.clear();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

}  // namespace kv::test
