// The serial line on Windows, through the platform's communications calls, opened by its device path
// ("\\.\COM3", so that COM10 and above open too; which device COMn is, the port directory says:
// ports/). Time-outs are set before the line settings; the time-outs found at open are put back only by
// ShutdownPort.
//
// Kept free of <windows.h> so that including it drags no platform macros into the callers.
#pragma once

#include <cstdint>
#include <string>

#include "line/port.h"

namespace kv {

// The cause that a failed open's system error code stands for.
OpenFailure OpenFailureOfSystemError(unsigned long error);

class Win32Port : public PathPort {
 public:
  explicit Win32Port(Clock& clock) : clock_(clock) {}
  ~Win32Port() override;
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  // Opens the device named by `path` ("\\.\COM3", or any other device path); a failure when it is
  // missing, in use, refused, or no character device at all (nothing is left open then).
  OpenError OpenDevice(const std::string& path);

  void ClosePort() override;
  void ShutdownPort() override;
  bool IsOpen() const override { return handle_ != nullptr; }

  bool PortFlush() override { return Reported(Flush(), fault_); }
  bool PortWrite(const uint8_t* bytes, size_t count) override {
    return Reported(Write(bytes, count), fault_);
  }
  ReadResult PortReadByte() override { return Reported(ReadByte(), fault_); }
  bool PortDiscardInput() override { return Reported(DiscardInput(), fault_); }
  const PortFault& LastFault() const override { return fault_; }

 private:
  // The platform's time-out record, field for field (all in milliseconds).
  struct Timeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
  };

  OpenError Open(const std::string& path);
  // The port's operations, each failing with its cause.
  LineResult Flush();
  LineResult Write(const uint8_t* bytes, size_t count);
  ByteRead ReadByte();
  LineResult DiscardInput();
  void CloseHandleIfOpen();

  Clock& clock_;
  void* handle_ = nullptr;  // the open port's handle; nullptr while not open
  Timeouts saved_{};        // read at each open, put back by ShutdownPort
  PortFault fault_;
};

}  // namespace kv
