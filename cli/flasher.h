// One run of the flasher: load the file once with the window's reader, then either describe the plan
// or download it to every device at once, one thread per device, each with its own image copy, port,
// clock and busy flag. Platform pieces (the real port, the interrupt flag) come in from outside, so
// this runs unchanged on fakes in the tests and on any platform.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "cli/console.h"
#include "cli/options.h"
#include "image/hex_reader.h"
#include "image/memory_image.h"
#include "line/port.h"
#include "ports/port_names.h"

namespace kv {

// A device's line: the port, and the clock it pauses with (the port may refer to the clock).
struct SerialLink {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<Port> port;  // opens the target whatever port number the download gives it
};

// The real line for a target: by number as `ports` resolves it, or by path; a serial device of this
// platform or a network line. `ports` outlives the link.
SerialLink MakeSerialLink(const DeviceTarget& target, const PortResolver& ports);
using LinkMaker = std::function<SerialLink(const DeviceTarget& target, const PortResolver& ports)>;

// A thread started, or the system's words for why none could be ("resource temporarily unavailable").
struct StartedThread {
  std::thread thread;  // not joinable when none was started
  std::string problem;
};
// Runs `work` on a thread of its own. The one place the flasher makes threads: a system out of them
// fails the device that needed one, never the whole program.
using ThreadStarter = std::function<StartedThread(std::function<void()> work)>;
StartedThread StartThread(std::function<void()> work);

struct FlasherEnvironment {
  Console& console;
  const PortDirectory& ports;  // what COMn stands for, looked at once per run; where the station looks
  LinkMaker makeLink;
  const std::atomic<bool>& interrupted;
  std::chrono::steady_clock::time_point start;  // trace times count from here
  ThreadStarter startThread = StartThread;
};

// Runs the options (devices already resolved, at least one unless --plan) and returns the exit code.
int RunFlasher(const FlashOptions& options, FlasherEnvironment& environment);

// The reader's failure for standard error: "cannot open fw.hex: permission denied",
// "fw.hex:12: checksum 3D, expected 3C".
std::string ReaderErrorLine(const std::string& file, HexReadResult result, const HexReadDetail& detail);

// No progress under --quiet; a live line on a terminal; plain lines in a file or a pipe.
ProgressStyle ProgressStyleFor(bool quiet, bool terminal);

}  // namespace kv
