// The one serial line to the device's loader, as the loader protocol and the download use it, and the
// clock that gives their pauses. Real ports: posix_port (termios) and win32_port; tests use a scripted
// fake on virtual time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

// Pauses. The real clock sleeps; the tests' clock advances virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(uint32_t ms) = 0;
};

// Outcome of reading one byte: the port failed, 100 ms passed with no byte, or one byte arrived.
enum class ReadStatus { Failure, NoByte, Byte };
struct ReadResult {
  ReadStatus status = ReadStatus::Failure;
  uint8_t byte = 0;
};

inline constexpr uint32_t ReadTimeoutMs = 100;
inline constexpr uint32_t ShutdownPauseMs = 250;

class Port {
 public:
  virtual ~Port() = default;

  // Opens and configures COMn (115200 baud, even parity, 8 data bits, 1 stop bit, no flow control,
  // one-byte reads that give up after 100 ms). Returns 0 when open, 1 when the open failed. Called
  // only while the port is not open.
  virtual int OpenPort(int n) = 0;
  // Closes the port if it is open; no pause, saved settings not put back.
  virtual void ClosePort() = 0;
  // If open: pause 250 ms, put back the settings found at open, close. Otherwise nothing at all.
  virtual void ShutdownPort() = 0;
  virtual bool IsOpen() const = 0;

  // Each of these fails, and does nothing, while the port is not open.
  // Waits until every byte written so far has left the port.
  virtual bool PortFlush() = 0;
  // Hands the whole packet to the port.
  virtual bool PortWrite(const uint8_t* bytes, size_t count) = 0;
  // One byte: at once when one is waiting, else after at most 100 ms with none. Nothing ever empties
  // the input queue: a late byte is the next read's.
  virtual ReadResult PortReadByte() = 0;
};

// The device name that stands for COMn on this platform (see posix_port.cpp and win32_port.cpp).
std::string PortDeviceName(int n);

}  // namespace kv
