// One run of the flasher: load the file once with the window's reader, then either describe the plan
// or download it to every device at once, one thread per device, each with its own image copy, port,
// clock and busy flag. Platform pieces (the real port, the interrupt flag) come in from outside, so
// this runs unchanged on fakes in the tests and on any platform.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "cli/console.h"
#include "cli/options.h"
#include "image/memory_image.h"
#include "link/port.h"

namespace kv {

// A device's line: the port, and the clock it pauses with (the port may refer to the clock).
struct SerialLink {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<Port> port;  // opens the target whatever port number the download gives it
};

struct FlasherEnvironment {
  Console& console;
  std::function<SerialLink(const DeviceTarget&)> makeLink;
  const std::atomic<bool>& interrupted;
  std::chrono::steady_clock::time_point start;  // trace times count from here
};

// Runs the options (devices already resolved, at least one unless --plan) and returns the exit code.
int RunFlasher(const FlashOptions& options, FlasherEnvironment& environment);

}  // namespace kv
