// What an operation on a line, or on the pipe beneath one (a socket), came to: done, with the value it
// gives where it gives one, or the fault that stopped it. The fault is made by the call that failed and
// travels up with the result, so that no caller asks afterwards what went wrong. Only the Port
// interface itself (port.h) answers with bool or ReadResult; each port keeps its last fault there for
// LastFault(), through Reported().
//
// A failed open has its own result, OpenError (port.h): it names the device and a cause the user can
// act on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kv {

// Why an operation on an open line failed.
struct PortFault {
  std::string words;  // in the system's words: "read: input/output error", "jig:4001 closed the connection"
  bool lineGone = false;  // the line went away (unplugged, hung up, connection closed): no repeat can pass
  // What the user can do where the line knows better than the advice for a local cable: a network line
  // names its server. Empty for a local line. The text is the port's own: valid until the port is
  // opened again or destroyed.
  std::string_view hint = {};
};

// What every operation on a port that is not open fails with. A port closed while a download still
// runs (the window was closed) has not gone away: the download ends through its usual attempts.
inline PortFault PortClosedFault() {
  return {"the port was closed", false};
}

// Done, or the fault that stopped it.
class [[nodiscard]] LineResult {
 public:
  // Done.
  LineResult() = default;
  // Failed, for the reason given. Not explicit, so that a function returns its fault as it is.
  LineResult(PortFault fault) : fault_(std::move(fault)) {}

  bool Ok() const { return !fault_.has_value(); }
  // Why it failed; only when not Ok().
  const PortFault& Fault() const { return *fault_; }

 private:
  std::optional<PortFault> fault_;
};

// A value (bytes received, whether data has left), or the fault that stopped it.
template <class T>
class [[nodiscard]] LineValue : public LineResult {
 public:
  // Not explicit either, so that a function returns its value or its fault as it is.
  LineValue(T value) : value_(std::move(value)) {}
  LineValue(PortFault fault) : LineResult(std::move(fault)), value_() {}

  // What it gave; only when Ok().
  const T& Value() const { return value_; }

 private:
  T value_;
};

// The Port interface's form of a result: true when done; else false, with the fault kept in `last`
// for LastFault().
inline bool Reported(const LineResult& result, PortFault& last) {
  if (!result.Ok()) last = result.Fault();
  return result.Ok();
}

}  // namespace kv
