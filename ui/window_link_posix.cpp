// The window's serial line on POSIX systems: the termios port.
#include "link/posix_port.h"
#include "ui/window.h"

namespace kv {

std::unique_ptr<Port> MakeWindowPort(Clock& clock) {
  return std::make_unique<PosixPort>(clock);
}

}  // namespace kv
