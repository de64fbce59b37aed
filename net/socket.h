// What a network port needs of a TCP connection: connect with a time limit, send everything, receive
// what has arrived within a time limit, wait until sent bytes have left this machine, close. One file
// per platform (socket_posix.cpp, socket_win32.cpp); tests use a scripted fake.
//
// Each call that fails says why in its result: the system's words, lower case ("connection refused",
// "connection reset by peer"), or none when the peer simply closed the connection. Once sending or
// receiving has failed the connection is gone (lineGone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "line/line_result.h"

namespace kv {

// A connection that the peer closed, or that is closed already: gone, with no words of the system's.
inline PortFault ConnectionClosedFault() {
  return {{}, true};
}

class Socket {
 public:
  virtual ~Socket() = default;
  // Resolves `host` and connects to `service` (a port number), all within `timeoutMs`. Closes any
  // earlier connection first.
  virtual LineResult Connect(const std::string& host, const std::string& service, uint32_t timeoutMs) = 0;
  // Hands every byte to the system.
  virtual LineResult Send(const uint8_t* bytes, size_t count) = 0;
  // The bytes that arrive within `timeoutMs` (0: only what is already there): how many; 0 when none
  // came in time.
  virtual LineValue<size_t> Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) = 0;
  // Waits, up to `timeoutMs`, until every byte sent has left this machine: true when they have, false
  // when some still wait (the server takes no more; the connection itself is fine).
  virtual LineValue<bool> Drain(uint32_t timeoutMs) = 0;
  virtual void Close() = 0;
};

// The platform's TCP socket, not yet connected.
std::unique_ptr<Socket> MakeSocket();

}  // namespace kv
