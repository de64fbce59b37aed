// A serial line on another machine, reached over TCP through a serial-over-network server such as
// ser2net, and used exactly like a local line:
//   rfc2217://HOST:PORT  telnet with COM-PORT-OPTION (RFC 2217): this port sets 115200 baud, 8 data
//                        bits, even parity, 1 stop bit, no flow control, and purges the server's
//                        buffers at open.
//   socket://HOST:PORT   raw TCP: the server holds the line settings.
//
// Name resolution and connection together give up after 3 s (cause Unreachable); reads give up after
// 100 ms; "flushed" means every byte has left this machine for the server; a closed or broken
// connection fails the operation at once and every one after it, as a line that has gone away.
//
// A flush that gives up because the server takes no more data is not a line gone: the command gets
// its usual attempts. But no packet is queued behind bytes that have not left, so that a repeat never
// reaches the device behind the packet it repeats: until a flush has seen those bytes leave, every
// write and flush fails, and the flush that sees them leave fails too, so that the command's quiet
// wait takes the reply to that late packet before anything else is sent.
//
// The network's round trip is measured at open: for RFC 2217 the server's first confirmation of the
// line settings after they were asked for; for raw TCP the connect, raised to the quickest acknowledge
// the device then sends (a tunnel or proxy ends TCP close by, so the connect alone may not see the
// network at all). A line measured further away than MaxRoundTripMs does not open: every reply window
// would be widened by as much, and a silent device would hold the run that long at every wait.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "line/line_result.h"
#include "line/network_url.h"
#include "line/port.h"
#include "net/socket.h"
#include "net/telnet_codec.h"

namespace kv {

enum class NetworkProtocol {
  Rfc2217,  // rfc2217://
  RawTcp,   // socket://
};

struct NetworkAddress {
  NetworkProtocol protocol = NetworkProtocol::RawTcp;
  std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
  std::string port;  // decimal, 1 to 65535
};

// The address in "rfc2217://HOST:PORT" or "socket://HOST:PORT" ("[::1]:PORT" for IPv6).
std::optional<NetworkAddress> ParseNetworkUrl(std::string_view url);

inline constexpr uint32_t ConnectTimeoutMs = 3000;
// How long bytes may wait to leave this machine (the server stopped reading) before flush fails.
inline constexpr uint32_t NetworkFlushLimitMs = 3000;
// The widest round trip a line may have: beyond it the device's 100 ms reply limits mean nothing.
inline constexpr uint32_t MaxRoundTripMs = 2000;

class NetworkPort : public PathPort {
 public:
  NetworkPort(Clock& clock, std::unique_ptr<Socket> socket) : clock_(clock), socket_(std::move(socket)) {}
  NetworkPort(const NetworkPort&) = delete;
  NetworkPort& operator=(const NetworkPort&) = delete;

  // Connects to the server's line at `url` and, for RFC 2217, sets the line up; a failure names the
  // server and the cause.
  OpenError OpenUrl(const std::string& url);
  void ClosePort() override;
  // The server keeps its own settings, so there is nothing to put back: pause and close.
  void ShutdownPort() override;
  bool IsOpen() const override { return open_; }

  bool PortFlush() override { return Reported(Flush(), fault_); }
  bool PortWrite(const uint8_t* bytes, size_t count) override {
    return Reported(Write(bytes, count), fault_);
  }
  ReadResult PortReadByte() override { return Reported(ReadByte(), fault_); }
  bool PortDiscardInput() override { return Reported(DiscardInput(), fault_); }
  const PortFault& LastFault() const override { return fault_; }
  uint32_t RoundTripMs() const override { return roundTripMs_; }
  bool LearnsRoundTrip() const override { return open_ && protocol_ == NetworkProtocol::RawTcp; }
  void NoteAcknowledgeDelay(uint32_t ms) override;

 private:
  // The open, with the device left for OpenUrl to name.
  OpenError Connect(const std::string& url);
  OpenError SetUpLine();
  bool AnyConfirmed() const;
  bool AllConfirmedAsWanted() const;
  // Why the line set-up did not finish in time: no agreement, a setting reported otherwise, or silence.
  std::string NotSetUp(bool setupSent) const;
  // The open's failure for a round trip beyond MaxRoundTripMs: "HOST:PORT took 2400 ms to connect; ...".
  std::string TooFar(const std::string& what) const;

  // The port's operations, each failing with its cause.
  LineResult Flush();
  LineResult Write(const uint8_t* bytes, size_t count);
  ByteRead ReadByte();
  LineResult DiscardInput();
  // What an operation on a port that is not open fails with: a connection that broke keeps saying why.
  PortFault NotOpenFault() const;
  // A fault of this line that leaves it open.
  PortFault Stalled(const std::string& words) const;
  // Ends a connection that closed or broke: the line's fault, naming the server and the socket's reason.
  PortFault Disconnected(const PortFault& socketFault);
  LineResult SendRaw(const uint8_t* bytes, size_t count);
  // Receives within `timeoutMs` and decodes into the input buffer: how many raw bytes came.
  LineValue<size_t> ReceiveMore(uint32_t timeoutMs);
  // Decodes the `count` raw bytes at the start of the input buffer and sends the answers they call for.
  LineResult Absorb(size_t count);

  Clock& clock_;
  std::unique_ptr<Socket> socket_;
  NetworkProtocol protocol_ = NetworkProtocol::RawTcp;
  bool open_ = false;
  PortFault fault_;
  std::string where_;    // "HOST:PORT", as the user's messages name the server
  std::string hint_;     // what to check when the line fails; PortFault::hint views it
  bool unsent_ = false;  // a flush gave up with bytes still waiting to leave
  uint32_t connectMs_ = 0;
  uint32_t roundTripMs_ = 0;
  uint32_t learnedMs_ = UINT32_MAX;  // the quickest acknowledge on a raw TCP line; none yet
  telnet::Receiver receiver_;
  // Received data not yet read: in_[inPos_, inEnd_). Filled only when empty, so it never grows.
  std::array<uint8_t, 1024> in_{};
  size_t inPos_ = 0;
  size_t inEnd_ = 0;
  std::array<uint8_t, 1024> out_{};  // escaped data on its way to the socket
};

}  // namespace kv
