// Name resolution with a time limit of our own (getaddrinfo has none), the same on every platform's
// sockets. Include it after the platform's socket headers (<netdb.h>, <ws2tcpip.h>), which declare
// addrinfo, getaddrinfo and freeaddrinfo alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/call_within.h"

namespace kv {

// getaddrinfo for a stream socket; the addresses go to `out` (the caller frees them with
// freeaddrinfo when the status is 0). Nothing when `timeoutMs` ran out first: the late answer is then
// freed by the helper thread.
template <class AddressInfo>
std::optional<int> ResolveWithin(const std::string& host, const std::string& service, uint32_t timeoutMs,
                                 AddressInfo** out) {
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
