// The port the programs use: it opens a device by name and picks the right kind of line for it.
// "rfc2217://HOST:PORT" and "socket://HOST:PORT" are lines on other machines (network_port.h); any
// other name is a serial device of this platform. COMn is what the resolver it was given (port_names.h)
// says it stands for: a look of its own at the moment of the open (the window's Send), or the look its
// run took once for all its ports (a gang). LD6193_COM<n> may hold a URL as well as a path.
#pragma once

#include <memory>
#include <string>

#include "line/port.h"
#include "ports/port_names.h"

namespace kv {

class SystemPort : public Port {
 public:
  // COMn as this machine, this user and this process's environment give it at each open.
  explicit SystemPort(Clock& clock);
  // COMn as `ports` resolves it: a PortDirectory at each open, a PortLook as its run found it. `ports`
  // outlives the port.
  SystemPort(Clock& clock, const PortResolver& ports) : clock_(clock), ports_(&ports) {}

  // COMn: the device or URL that the resolver gives; "COMn" itself names the failure when nothing
  // stands for it (and the absent adapter that keeps the number, where one does).
  int OpenPort(int n) override;
  // 0 when open, 1 when not (the cause in LastOpenError). Closes what was open before.
  int OpenDevice(const std::string& name);
  const OpenError& LastOpenError() const override { return openError_; }

  void ClosePort() override;
  void ShutdownPort() override;
  bool IsOpen() const override { return line_ != nullptr && line_->IsOpen(); }

  bool PortFlush() override { return line_ != nullptr && line_->PortFlush(); }
  bool PortWrite(const uint8_t* bytes, size_t count) override {
    return line_ != nullptr && line_->PortWrite(bytes, count);
  }
  ReadResult PortReadByte() override { return line_ ? line_->PortReadByte() : ReadResult{}; }
  bool PortDiscardInput() override { return line_ != nullptr && line_->PortDiscardInput(); }
  const PortFault& LastFault() const override { return line_ ? line_->LastFault() : closedFault_; }
  uint32_t RoundTripMs() const override { return line_ ? line_->RoundTripMs() : 0; }
  bool LearnsRoundTrip() const override { return line_ && line_->LearnsRoundTrip(); }
  void NoteAcknowledgeDelay(uint32_t ms) override {
    if (line_) line_->NoteAcknowledgeDelay(ms);
  }

 private:
  // The platform's serial device at `path`, open, or nullptr with the cause in `error`
  // (system_port_posix.cpp, system_port_win32.cpp).
  static std::unique_ptr<Port> OpenSerial(Clock& clock, const std::string& path, OpenError& error);

  Clock& clock_;
  std::unique_ptr<PortDirectory> ownPorts_;  // when no resolver was given
  const PortResolver* ports_;
  std::unique_ptr<Port> line_;  // the open line, or the last one opened
  OpenError openError_;
  PortFault closedFault_ = PortClosedFault();
};

}  // namespace kv
