// The line settings the device's loader needs, built from whatever the line had when it was opened:
// raw bytes, 115200 baud both ways, even parity, 8 data bits, 1 stop bit, no flow control, and
// one-byte reads that return at once when a byte waits or after 100 ms without one. Pure, so the flags
// can be checked in tests (a pseudo-terminal silently ignores parity and speed).
#pragma once

#include <termios.h>

namespace kv {

// VTIME is counted in tenths of a second: 1 gives the 100 ms read time-out.
inline constexpr cc_t ReadTimeoutTenths = 1;

// The working settings derived from `found`. Fields the loader does not care about (modem-control
// details such as HUPCL, the special characters other than VMIN/VTIME) keep the values found.
termios WorkingLineSettings(const termios& found);

}  // namespace kv
