// Name resolution with a time limit of our own (getaddrinfo has none), the same on every platform's
// sockets. Include it after the platform's socket headers (<netdb.h>, <ws2tcpip.h>), which declare
// addrinfo, getaddrinfo and freeaddrinfo alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/call_within.h"

namespace kv {

// What a connect says when the name service took longer than the whole connect may.
inline constexpr const char* NameServiceTimeout = "no answer from the name service within the time limit";

// getaddrinfo for a stream socket; the addresses go to `out` (the caller frees them with
// freeaddrinfo when the status is 0). Nothing when `timeoutMs` ran out first: the late answer is then
// freed by the helper thread. A numeric address ("127.0.0.1", "::1") is read at once, on the caller's
// thread: it needs no name service, and a thread that a loaded system starts late must not cost it
// its connect.
template <class AddressInfo>
std::optional<int> ResolveWithin(const std::string& host, const std::string& service, uint32_t timeoutMs,
                                 AddressInfo** out) {
  AddressInfo numeric{};
  numeric.ai_family = AF_UNSPEC;
  numeric.ai_socktype = SOCK_STREAM;
  numeric.ai_flags = AI_NUMERICHOST;
  if (getaddrinfo(host.c_str(), service.c_str(), &numeric, out) == 0) return 0;
  struct Answer {
    int status;
    AddressInfo* addresses;
  };
  const auto answer = CallWithin<Answer>(
      timeoutMs,
      [host, service] {
        AddressInfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        Answer a{0, nullptr};
        a.status = getaddrinfo(host.c_str(), service.c_str(), &hints, &a.addresses);
        return a;
      },
      [](const Answer& late) {
        if (late.status == 0) freeaddrinfo(late.addresses);
      });
  if (!answer) return std::nullopt;
  *out = answer->addresses;
  return answer->status;
}

}  // namespace kv
