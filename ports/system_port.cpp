#include "ports/system_port.h"

#include "net/network_port.h"
#include "net/socket.h"

namespace kv {
namespace {

// COMn when nothing stands for it: no LD6193_COM<n>, and no port that carries number n.
OpenError NoSuchPort(int n) {
  return {OpenFailure::NotFound, PortName(n), "no such serial port on this machine"};
}

}  // namespace

SystemPort::SystemPort(Clock& clock)
    : clock_(clock),
      ownPorts_(std::make_unique<PortDirectory>(SystemPortDirectory())),
      ports_(ownPorts_.get()) {}

int SystemPort::OpenPort(int n) {
  const PortEntry entry = ports_->Resolve(n);
  if (!entry.device.empty()) return OpenDevice(entry.device);
  ClosePort();
  line_.reset();
  openError_ = NoSuchPort(n);
  if (!entry.keptFor.empty()) openError_.device += " (" + entry.keptFor + ")";
  return 1;
}

int SystemPort::OpenDevice(const std::string& name) {
  ClosePort();
  line_.reset();
  if (!IsNetworkUrl(name)) {
    line_ = OpenSerial(clock_, name, openError_);
    return line_ ? 0 : 1;
  }
  auto network = std::make_unique<NetworkPort>(clock_, MakeSocket());
  openError_ = network->OpenUrl(name);
  if (openError_.Ok()) line_ = std::move(network);
  return openError_.Ok() ? 0 : 1;
}

void SystemPort::ClosePort() {
  if (line_) line_->ClosePort();
}

void SystemPort::ShutdownPort() {
  if (line_) line_->ShutdownPort();
}

}  // namespace kv
