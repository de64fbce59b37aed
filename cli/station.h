// The production station (--station) on the command line: the file is read and checked once, the log
// opened, and then the station's core (station/station.h) flashes every board as its serial port
// appears, several at once, each through the same per-device run as a normal run. With --port/--device
// only those ports are watched; with --on-enter they are flashed at each Enter instead, every round
// opening what one look at the ports found.
//
// Output: a line per device as it starts and as it ends (outcome and time), and the tally in the
// progress line's place. Ctrl-C stops: running downloads finish, or are shut down at a second Ctrl-C;
// the tally is printed and the code is 0 if every device passed, else the first failing device's (130
// when downloads were shut down).
#pragma once

#include <atomic>
#include <functional>

#include "cli/flasher.h"
#include "cli/options.h"
#include "ports/port_names.h"

namespace kv {

struct StationEnvironment {
  const std::atomic<unsigned>& interrupts;  // Ctrl-C so far: the first stops, the second shuts down
  std::function<bool()> waitForEnter;       // --on-enter: false once the input has ended
  WakeHandle interruptWake = NoWakeHandle;  // raised at each Ctrl-C: the station's sleep ends at once
};

// Runs the station until it is stopped; returns the exit code.
int RunStation(const FlashOptions& options, FlasherEnvironment& env, StationEnvironment& station);

}  // namespace kv
