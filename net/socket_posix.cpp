// TCP on POSIX sockets. Name resolution has no time limit of its own, so it runs on a helper thread
// that is left behind when it takes too long; the connect is non-blocking and polled.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "base/deadline.h"
#include "base/system_error.h"
#include "line/system_clock.h"
#include "net/resolve_within.h"
#include "net/socket.h"

namespace kv {
namespace {

// Waiting for "sent bytes have left" polls the socket's queue this often.
constexpr int DrainPollMs = 1;
constexpr time_t SendLimitSeconds = 3;

// The system's words for `error`, as the fault of a connection that broke.
PortFault BrokenBy(int error) {
  return {SystemReason(static_cast<unsigned long>(error)), true};
}

class PosixSocket : public Socket {
 public:
  ~PosixSocket() override { Close(); }

  LineResult Connect(const std::string& host, const std::string& service, uint32_t timeoutMs) override {
    Close();
    const Deadline connect(SteadyNowMs(), timeoutMs);
    addrinfo* addresses = nullptr;
    const int status = ResolveWithin(host, service, timeoutMs, &addresses).value_or(EAI_AGAIN);
    if (status == EAI_AGAIN && connect.Passed(SteadyNowMs())) return PortFault{NameServiceTimeout};
    if (status != 0) return PortFault{LowerFirst(::gai_strerror(status))};
    LineResult connected = PortFault{"no address"};
    for (addrinfo* a = addresses; a != nullptr && fd_ < 0; a = a->ai_next) {
      connected = TryAddress(*a, connect);
    }
    ::freeaddrinfo(addresses);
    return connected;
  }

  LineResult Send(const uint8_t* bytes, size_t count) override {
    size_t done = 0;
    while (fd_ >= 0 && done < count) {
      // MSG_NOSIGNAL: a server that went away is a failed write, not a killed program.
      const ssize_t n = ::send(fd_, bytes + done, count - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        return BrokenBy(errno);
      }
    }
    if (fd_ < 0) return ConnectionClosedFault();
    return {};
  }

  LineValue<size_t> Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) override {
    if (fd_ < 0) return ConnectionClosedFault();
    const Deadline wait(SteadyNowMs(), timeoutMs);
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(wait.RemainingMs(SteadyNowMs())));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return BrokenBy(errno);
      if (ready == 0) return size_t{0};
      const ssize_t n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
      if (n > 0) {
        AcknowledgeAtOnce();
        return static_cast<size_t>(n);
      }
      if (n == 0) return ConnectionClosedFault();  // the server closed the connection
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return BrokenBy(errno);
    }
  }

  LineValue<bool> Drain(uint32_t timeoutMs) override {
    const Deadline drain(SteadyNowMs(), timeoutMs);
    for (;;) {
      int unsent = 0;
      if (fd_ < 0) return ConnectionClosedFault();
      if (::ioctl(fd_, SIOCOUTQNSD, &unsent) != 0) return BrokenBy(errno);
      if (unsent == 0) return true;
      if (drain.Passed(SteadyNowMs())) return false;
      pollfd p{fd_, 0, 0};
      (void)::poll(&p, 1, DrainPollMs);
      if ((p.revents & (POLLERR | POLLHUP)) != 0) return BrokenBy(PendingError());
    }
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // Connects to one address within `connect`.
  LineResult TryAddress(const addrinfo& address, const Deadline& connect) {
    const int fd =
        ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (fd < 0) return PortFault{SystemReason(errno)};
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) error = AwaitConnect(fd, connect);
    }
    if (error != 0) {
      ::close(fd);
      return PortFault{error == ETIMEDOUT ? "no answer within the time limit" : SystemReason(error)};
    }
    // Packets go out as they are written: each one is a whole command waiting for its reply.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that stops reading must not hold a write for ever.
    const timeval sendLimit{SendLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    AcknowledgeAtOnce();
    return {};
  }

  // A reply often comes in two small segments (the acknowledge byte, then the status). A server
  // that sends with Nagle's algorithm holds the second until the first is acknowledged, and a
  // delayed acknowledgement here would cost 40 ms a page. Linux clears the quick mode now and then,
  // so it is set again after every read.
  void AcknowledgeAtOnce() {
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }

  static int AwaitConnect(int fd, const Deadline& connect) {
    for (;;) {
      const uint64_t now = SteadyNowMs();
      if (connect.Passed(now)) return ETIMEDOUT;
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(connect.RemainingMs(now)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return errno;
      if (ready == 0) return ETIMEDOUT;
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
      return error;
    }
  }

  // The error the system holds for the connection (a reset, say), or a broken pipe when it has none.
  int PendingError() const {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == 0) return EPIPE;
    return error;
  }

  int fd_ = -1;
};

}  // namespace

std::unique_ptr<Socket> MakeSocket() {
  return std::make_unique<PosixSocket>();
}

}  // namespace kv
