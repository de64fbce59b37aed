#include "line/win32_port.h"
#include "ports/system_port.h"

namespace kv {

std::unique_ptr<Port> SystemPort::OpenSerial(Clock& clock, const std::string& path, OpenError& error) {
  auto port = std::make_unique<Win32Port>(clock);
  error = port->OpenDevice(path);
  if (!error.Ok()) return nullptr;
  return port;
}

}  // namespace kv
