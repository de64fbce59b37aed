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

class PosixPort : public Port {
 public:
  explicit PosixPort(Clock& clock) : clock_(clock) {}
  ~PosixPort() override;
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  int OpenPort(int n) override;
  const OpenError& LastOpenError() const override { return openError_; }
  // Opens the serial device at `path` directly: 0 when open and configured, 1 when it is missing,
  // held by someone else, refused, or not a terminal at all (nothing is left open then).
  int OpenDevice(const std::string& path);

  void ClosePort() override;
  void ShutdownPort() override;
  bool IsOpen() const override { return fd_ >= 0; }

  bool PortFlush() override;
  bool PortWrite(const uint8_t* bytes, size_t count) override;
  ReadResult PortReadByte() override;
  bool PortDiscardInput() override;
  const PortFault& LastFault() const override { return fault_; }

 private:
  // Notes why an operation failed ("read", errno) and gives false.
  bool Failed(const char* operation, int error);
  bool NotOpen();
  void CloseDescriptor();
  bool LineHungUp() const;
  int FailOpen(const std::string& path, int error);

  Clock& clock_;
  int fd_ = -1;
  bool lowLatencySet_ = false;  // we switched the driver's low-latency mode on and owe it a switch off
  termios saved_{};             // the settings found at the last successful open, put back by ShutdownPort
  OpenError openError_;
  PortFault fault_;
};

}  // namespace kv
