// The window's serial line on Windows: the communications-call port.
#include "link/win32_port.h"
#include "ui/window.h"

namespace kv {

std::unique_ptr<Port> MakeWindowPort(Clock& clock) {
  return std::make_unique<Win32Port>(clock);
}

}  // namespace kv
