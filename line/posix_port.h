// The serial line on Linux, on termios, opened by its device path (which device COMn is, the port
// directory says: ports/). The driver's low-latency mode is asked for at open and put back at close.
//
// The line is held exclusively while open (TIOCEXCL plus a non-blocking flock, since root ignores
// TIOCEXCL). A line that goes away (adapter unplugged, far end of a pseudo-terminal closed) makes
// every operation fail at once instead of hanging or spinning.
#pragma once

#include <termios.h>
#include <string>

#include "line/port.h"

namespace kv {

// The cause that a failed open's errno stands for.
OpenFailure OpenFailureOfErrno(int error);

class PosixPort : public PathPort {
 public:
  explicit PosixPort(Clock& clock) : clock_(clock) {}
  ~PosixPort() override;
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  // Opens the serial device at `path` directly, configured; a failure when it is missing, held by
  // someone else, refused, or not a terminal at all (nothing is left open then).
  OpenError OpenDevice(const std::string& path);

  void ClosePort() override;
  void ShutdownPort() override;
  bool IsOpen() const override { return fd_ >= 0; }

  bool PortFlush() override { return Reported(Flush(), fault_); }
  bool PortWrite(const uint8_t* bytes, size_t count) override {
    return Reported(Write(bytes, count), fault_);
  }
  ReadResult PortReadByte() override { return Reported(ReadByte(), fault_); }
  bool PortDiscardInput() override { return Reported(DiscardInput(), fault_); }
  const PortFault& LastFault() const override { return fault_; }

 private:
  OpenError Open(const std::string& path);
  // The port's operations, each failing with its cause.
  LineResult Flush();
  LineResult Write(const uint8_t* bytes, size_t count);
  ByteRead ReadByte();
  LineResult DiscardInput();
  void CloseDescriptor();
  bool LineHungUp() const;

  Clock& clock_;
  int fd_ = -1;
  bool lowLatencySet_ = false;  // we switched the driver's low-latency mode on and owe it a switch off
  termios saved_{};             // the settings found at the last successful open, put back by ShutdownPort
  PortFault fault_;
};

}  // namespace kv
