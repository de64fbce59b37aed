#include <array>

#include "line/network_url.h"
#include "line/port.h"

namespace kv {
namespace {

struct CauseText {
  OpenFailure cause;
  const char* what;  // after "cannot open DEVICE: "; the system's own text for Other
  const char* fix;   // after "; ", or nullptr
};

constexpr std::array<CauseText, 6> CauseTexts{{
    {OpenFailure::NotFound, "no such device",
     "ld6193-flash --list-ports shows the serial ports present and what COM1 to COM4 stand for"},
    {OpenFailure::PermissionDenied, "permission denied",
     "add your user to the dialout group (sudo usermod -aG dialout $USER), then log out and in again"},
    {OpenFailure::Busy, "busy, another program holds the line", "close it, or wait for it to finish"},
    {OpenFailure::NotSerial, "not a serial line",
     "name a serial device; ld6193-flash --list-ports shows the ones present"},
    {OpenFailure::Unreachable, "cannot be reached", "check the host name, the network and the server"},
    {OpenFailure::Other, nullptr, nullptr},
}};

const CauseText* TextOf(OpenFailure cause) {
  for (const CauseText& row : CauseTexts) {
    if (row.cause == cause) return &row;
  }
  return nullptr;
}

}  // namespace

int PathPort::OpenPort(int n) {
  ClosePort();
  openError_ = {OpenFailure::NotFound, PortName(n),
                "a line is opened by its device path or URL, not by COM number"};
  return 1;
}

std::string DescribeOpenError(const OpenError& error) {
  // A line on another machine: its port says in its own words what went wrong ("cannot reach
  // HOST:PORT: connection refused").
  if (IsNetworkUrl(error.device) && !error.detail.empty() && !error.Ok()) {
    if (error.cause == OpenFailure::Unreachable) return error.detail + "; " + TextOf(error.cause)->fix;
    return "cannot open " + error.device + ": " + error.detail;
  }
  std::string line = "cannot open " + error.device;
  const CauseText* text = TextOf(error.cause);
  if (text == nullptr || text->what == nullptr) {
    // Other (or no failure at all): the system's words are all there is.
    return error.detail.empty() ? line : line + ": " + error.detail;
  }
  line += ": ";
  if (error.cause == OpenFailure::Busy && !error.detail.empty()) {
    line += "busy, " + error.detail;  // who holds it, where the system could tell
  } else {
    line += text->what;
  }
  if (error.cause == OpenFailure::Unreachable && !error.detail.empty()) line += " (" + error.detail + ")";
  return line + "; " + text->fix;
}

}  // namespace kv
