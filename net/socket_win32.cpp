// TCP on Winsock. As on POSIX, resolution runs on a helper thread that is left behind when it takes
// too long, and the connect is non-blocking and polled. Winsock cannot tell how much of what was sent
// is still queued, so "drained" means the system has taken every byte (TCP_NODELAY sends them at once).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <optional>

#include "base/deadline.h"
#include "base/system_error.h"
#include "line/system_clock.h"
#include "net/resolve_within.h"
#include "net/socket.h"

namespace kv {
namespace {

constexpr DWORD SendLimitMs = 3000;
constexpr uint64_t ConnectPollSliceMs = 100;

std::string ReasonFor(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return "connection refused";
    case WSAETIMEDOUT:
      return "no answer within the time limit";
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
      return "unknown host";
    default:
      return SystemReason(static_cast<unsigned long>(error));
  }
}

// The fault of a connection that `error` broke.
PortFault BrokenBy(int error) {
  return {ReasonFor(error), true};
}

class WinsockSocket : public Socket {
 public:
  WinsockSocket() {
    WSADATA data{};
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSocket() override {
    Close();
    if (started_) ::WSACleanup();
  }

  LineResult Connect(const std::string& host, const std::string& service, uint32_t timeoutMs) override {
    Close();
    if (!started_) return PortFault{"the network is not available (WSAStartup failed)"};
    const Deadline connect(SteadyNowMs(), timeoutMs);
    addrinfo* addresses = nullptr;
    const std::optional<int> status = ResolveWithin(host, service, timeoutMs, &addresses);
    if (!status) return PortFault{NameServiceTimeout};
    if (*status != 0) return PortFault{ReasonFor(*status)};
    LineResult connected = PortFault{"no address"};
    for (addrinfo* a = addresses; a != nullptr && socket_ == INVALID_SOCKET; a = a->ai_next) {
      connected = TryAddress(*a, connect);
    }
    ::freeaddrinfo(addresses);
    return connected;
  }

  LineResult Send(const uint8_t* bytes, size_t count) override {
    size_t done = 0;
    while (socket_ != INVALID_SOCKET && done < count) {
      const int n =
          ::send(socket_, reinterpret_cast<const char*>(bytes + done), static_cast<int>(count - done), 0);
      if (n <= 0) return BrokenBy(::WSAGetLastError());
      done += static_cast<size_t>(n);
    }
    if (socket_ == INVALID_SOCKET) return ConnectionClosedFault();
    return {};
  }

  LineValue<size_t> Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) override {
    if (socket_ == INVALID_SOCKET) return ConnectionClosedFault();
    WSAPOLLFD p{socket_, POLLRDNORM, 0};
    const int ready = ::WSAPoll(&p, 1, static_cast<INT>(timeoutMs));
    if (ready < 0) return BrokenBy(::WSAGetLastError());
    if (ready == 0) return size_t{0};
    const int n = ::recv(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) return ConnectionClosedFault();  // the server closed the connection
    return BrokenBy(::WSAGetLastError());
  }

  LineValue<bool> Drain(uint32_t /*timeoutMs*/) override {
    if (socket_ == INVALID_SOCKET) return ConnectionClosedFault();
    return true;
  }

  void Close() override {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  // Connects to one address within `connect`.
  LineResult TryAddress(const addrinfo& address, const Deadline& connect) {
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) return PortFault{ReasonFor(::WSAGetLastError())};
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    int error = 0;
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
      error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK) error = AwaitConnect(s, connect);
    }
    if (error != 0) {
      ::closesocket(s);
      return PortFault{ReasonFor(error)};
    }
    u_long blocking = 0;
    ::ioctlsocket(s, FIONBIO, &blocking);
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&SendLimitMs), sizeof SendLimitMs);
    socket_ = s;
    return {};
  }

  // The connect's outcome: 0 once connected, else the error that ended it. The poll goes in slices,
  // and between them the socket itself is asked: a poll may miss a connect that completed as it
  // started (seen under wine on a loaded machine), which would otherwise cost the whole time limit.
  static int AwaitConnect(SOCKET s, const Deadline& connect) {
    for (;;) {
      const uint64_t now = SteadyNowMs();
      if (connect.Passed(now)) return WSAETIMEDOUT;
      WSAPOLLFD p{s, POLLWRNORM, 0};
      const uint64_t slice = std::min<uint64_t>(connect.RemainingMs(now), ConnectPollSliceMs);
      const int ready = ::WSAPoll(&p, 1, static_cast<INT>(slice));
      if (ready < 0) return ::WSAGetLastError();
      const int error = PendingError(s);
      if (ready > 0 || error != 0 || Connected(s)) return error;
    }
  }

  static int PendingError(SOCKET s) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
      return ::WSAGetLastError();
    }
    return error;
  }

  static bool Connected(SOCKET s) {
    sockaddr_storage peer{};
    int length = sizeof peer;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
  }

  bool started_ = false;
  SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace

std::unique_ptr<Socket> MakeSocket() {
  return std::make_unique<WinsockSocket>();
}

}  // namespace kv
