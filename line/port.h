// The one serial line to the device's loader, as the loader protocol and the download use it, and the
// clock that gives their pauses. The ports: line/posix_port.h (termios) and line/win32_port.h open a
// device path, net/network_port.h a URL, and ports/system_port.h picks one of them for a name or COMn;
// tests use a scripted fake on virtual time (tests/support/fake_port.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "line/line_result.h"

namespace kv {

// Pauses. The real clock sleeps; the tests' clock advances virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds on a steady clock with an arbitrary start; only differences mean anything.
  virtual uint64_t NowMs() = 0;
};

// Outcome of reading one byte: the port failed, 100 ms passed with no byte, or one byte arrived.
enum class ReadStatus { Failure, NoByte, Byte };
struct ReadResult {
  ReadStatus status = ReadStatus::Failure;
  uint8_t byte = 0;
};

// A read inside a port: a ReadResult that is Byte or NoByte, or the fault that stopped it.
using ByteRead = LineValue<ReadResult>;
// The Port interface's form of a read: a failed one answers Failure, with the fault kept in `last`.
inline ReadResult Reported(const ByteRead& read, PortFault& last) {
  if (!read.Ok()) {
    last = read.Fault();
    return {ReadStatus::Failure, 0};
  }
  return read.Value();
}

inline constexpr uint32_t ReadTimeoutMs = 100;
inline constexpr uint32_t ShutdownPauseMs = 250;

// The line: 115200 baud, and with 8 data bits, even parity and 1 stop bit each byte is 11 bits on
// the wire (the start bit included).
inline constexpr uint32_t LineBaud = 115200;
inline constexpr uint32_t LineBitsPerByte = 11;

// How long `bytes` take to cross the line, in milliseconds.
constexpr double LineMs(size_t bytes) {
  return static_cast<double>(bytes) * LineBitsPerByte * 1000.0 / LineBaud;
}
// The same to the nearest whole millisecond.
constexpr uint32_t LineTimeMs(size_t bytes) {
  return static_cast<uint32_t>((bytes * LineBitsPerByte * 1000 + LineBaud / 2) / LineBaud);
}

// Why the last open failed. The 0/1 result of OpenPort stays what callers test; this keeps the cause
// so that a front end can name it and the fix.
enum class OpenFailure : int {
  None = 0,              // the last open succeeded, or none was tried
  NotFound = 1,          // no device of that name or number
  PermissionDenied = 2,  // the system refused access (on Linux: not in the dialout group)
  Busy = 3,              // another program, or another flasher, holds the line
  NotSerial = 4,         // the name is something other than a serial line (a file, /dev/null)
  Unreachable = 5,       // a network port's host could not be resolved or reached
  Other = 6,             // anything else; the detail has the system's own words
};

// "COM3": how port number n is named to the user (the window's port items and status panel, the
// flasher's messages and --list-ports).
inline std::string PortName(int n) {
  return "COM" + std::to_string(n);
}

// What an open came to: the drivers' opens return it, and every port keeps its last for LastOpenError().
struct OpenError {
  OpenFailure cause = OpenFailure::None;
  std::string device;  // what the open tried: a path, "\\.\COM3", a URL
  std::string detail;  // the system's text, and who holds the line where the system can tell

  // The open succeeded.
  bool Ok() const { return cause == OpenFailure::None; }
};

// One line for the user that names the device and the cause, with the fix where there is one.
std::string DescribeOpenError(const OpenError& error);

class Port {
 public:
  virtual ~Port() = default;

  // Opens and configures COMn (115200 baud, even parity, 8 data bits, 1 stop bit, no flow control,
  // one-byte reads that give up after 100 ms). Returns 0 when open, 1 when the open failed. Called
  // only while the port is not open.
  virtual int OpenPort(int n) = 0;
  // Why the last OpenPort failed (cause None after a successful one).
  virtual const OpenError& LastOpenError() const = 0;
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
  // One byte: at once when one is waiting, else after at most 100 ms with none.
  virtual ReadResult PortReadByte() = 0;
  // Throws away every byte received and not yet read, so that a stale reply is never judged as the
  // answer to a later packet.
  virtual bool PortDiscardInput() = 0;

  // Why the last flush, write, read or discard failed (empty words when none has failed since the open).
  virtual const PortFault& LastFault() const = 0;

  // The network's round trip between this machine and the device's line, in milliseconds: 0 for a
  // local line. Every reply window is widened by it, so that the network never eats into the device's
  // own time.
  virtual uint32_t RoundTripMs() const { return 0; }
  // True for a line that cannot time its round trip by itself (raw TCP: nothing but the device
  // answers there, and a tunnel or proxy ends TCP close by). The loader protocol then reports how long
  // each acknowledge took to come back after its packet had left, and the line keeps the smallest.
  virtual bool LearnsRoundTrip() const { return false; }
  virtual void NoteAcknowledgeDelay(uint32_t /*ms*/) {}
};

// A line opened by its device path or URL: the serial drivers and the network port. Asked for COMn by
// number it closes what it held and refuses, since only the port directory (ports/) knows which device
// COMn is.
class PathPort : public Port {
 public:
  int OpenPort(int n) final;
  const OpenError& LastOpenError() const final { return openError_; }

 protected:
  OpenError openError_;  // the last open's result
};

}  // namespace kv
