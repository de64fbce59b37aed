// The window's serial line on POSIX systems: the termios port and the real clock.
#include "link/posix_port.h"
#include "link/system_clock.h"
#include "ui/window.h"

namespace kv {

WindowLink MakeWindowLink() {
  WindowLink link;
  link.clock = std::make_unique<SystemClock>();
  link.port = std::make_unique<PosixPort>(*link.clock);
  return link;
}

}  // namespace kv
