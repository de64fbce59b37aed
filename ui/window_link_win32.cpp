// The window's serial line on Windows: the communications-call port and the real clock.
#include "link/system_clock.h"
#include "link/win32_port.h"
#include "ui/window.h"

namespace kv {

WindowLink MakeWindowLink() {
  WindowLink link;
  link.clock = std::make_unique<SystemClock>();
  link.port = std::make_unique<Win32Port>(*link.clock);
  return link;
}

}  // namespace kv
