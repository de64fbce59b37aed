// What a network port needs of a TCP connection: connect with a time limit, send everything, receive
// what has arrived within a time limit, wait until sent bytes have left this machine, close. One file
// per platform (socket_posix.cpp, socket_win32.cpp); tests use a scripted fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv {

struct ConnectResult {
  bool connected = false;
  std::string reason;  // why not, in the system's words, lower case: "connection refused"
};

// How waiting for sent bytes to leave ended.
enum class DrainResult {
  Drained,   // every byte sent has left this machine
  TimedOut,  // bytes are still waiting (the server takes no more); the connection itself is fine
  Broken,    // the connection closed or broke
};

class Socket {
 public:
  virtual ~Socket() = default;
  // Resolves `host` and connects to `service` (a port number), all within `timeoutMs`. Closes any
  // earlier connection first.
  virtual ConnectResult Connect(const std::string& host, const std::string& service, uint32_t timeoutMs) = 0;
  // Hands every byte to the system; false when the connection is closed or broken.
  virtual bool Send(const uint8_t* bytes, size_t count) = 0;
  // Bytes that arrive within `timeoutMs` (0: only what is already there): their count, 0 when none
  // came in time, -1 when the peer closed the connection or it broke.
  virtual int Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) = 0;
  // Waits, up to `timeoutMs`, until every byte sent has left this machine.
  virtual DrainResult Drain(uint32_t timeoutMs) = 0;
  virtual void Close() = 0;
  // Why the last Send, Receive or Drain broke the connection, in the system's words ("connection
  // reset by peer"); empty when the peer simply closed it.
  virtual std::string FailureReason() const { return {}; }
};

// The platform's TCP socket, not yet connected.
std::unique_ptr<Socket> MakeSocket();

}  // namespace kv
