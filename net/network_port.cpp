#include "net/network_port.h"

#include <algorithm>
#include <charconv>

#include "base/deadline.h"

namespace kv {
namespace {

// A server that floods us while we discard is cut off after this much, so a discard always ends.
constexpr size_t DiscardLimitBytes = 64 * 1024;

bool ValidPort(std::string_view port) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  return error == std::errc() && end == port.data() + port.size() && value >= 1 && value <= 65535;
}

std::string SettingName(telnet::Setting setting) {
  switch (setting) {
    case telnet::Setting::BaudRate:
      return "baud rate";
    case telnet::Setting::DataSize:
      return "data bits";
    case telnet::Setting::Parity:
      return "parity";
    case telnet::Setting::StopSize:
      return "stop bits";
  }
  return "setting";
}

constexpr struct {
  telnet::Setting setting;
  uint32_t wanted;
} WantedSettings[] = {
    {telnet::Setting::BaudRate, telnet::WantedBaudRate},
    {telnet::Setting::DataSize, telnet::WantedDataSize},
    {telnet::Setting::Parity, telnet::WantedParity},
    {telnet::Setting::StopSize, telnet::WantedStopSize},
};

OpenError Refused(OpenFailure cause, std::string detail) {
  return {cause, {}, std::move(detail)};
}

}  // namespace

std::optional<NetworkAddress> ParseNetworkUrl(std::string_view url) {
  NetworkAddress address;
  if (url.starts_with(Rfc2217Scheme)) {
    address.protocol = NetworkProtocol::Rfc2217;
    url.remove_prefix(Rfc2217Scheme.size());
  } else if (url.starts_with(RawTcpScheme)) {
    address.protocol = NetworkProtocol::RawTcp;
    url.remove_prefix(RawTcpScheme.size());
  } else {
    return std::nullopt;
  }
  if (!url.empty() && url.back() == '/') url.remove_suffix(1);  // "rfc2217://host:4001/" as pasted
  size_t colon = std::string_view::npos;
  if (url.starts_with('[')) {
    const size_t close = url.find(']');
    if (close == std::string_view::npos || close + 1 >= url.size() || url[close + 1] != ':')
      return std::nullopt;
    address.host = std::string(url.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = url.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(url.substr(0, colon));
    if (address.host.find(':') != std::string::npos) return std::nullopt;  // IPv6 needs its brackets
  }
  address.port = std::string(url.substr(colon + 1));
  if (address.host.empty() || !ValidPort(address.port)) return std::nullopt;
  return address;
}

OpenError NetworkPort::OpenUrl(const std::string& url) {
  ClosePort();  // never leak a connection the caller forgot to close
  openError_ = Connect(url);
  openError_.device = url;
  if (!openError_.Ok()) ClosePort();
  return openError_;
}

OpenError NetworkPort::Connect(const std::string& url) {
  const std::optional<NetworkAddress> address = ParseNetworkUrl(url);
  if (!address) {
    return Refused(OpenFailure::NotFound,
                   "not a network port address; write rfc2217://HOST:PORT or socket://HOST:PORT");
  }
  where_ = (address->host.find(':') != std::string::npos ? "[" + address->host + "]" : address->host) + ":" +
           address->port;
  hint_ = "check that " + where_ + " is reachable and its serial server runs";
  const Deadline connect(clock_.NowMs(), ConnectTimeoutMs);
  const LineResult connection = socket_->Connect(address->host, address->port, ConnectTimeoutMs);
  if (!connection.Ok())
    return Refused(OpenFailure::Unreachable, "cannot reach " + where_ + ": " + connection.Fault().words);
  connectMs_ = static_cast<uint32_t>(connect.ElapsedMs(clock_.NowMs()));
  roundTripMs_ = connectMs_;
  learnedMs_ = UINT32_MAX;
  protocol_ = address->protocol;
  receiver_ = telnet::Receiver();
  inPos_ = inEnd_ = 0;
  fault_ = {};
  unsent_ = false;
  open_ = true;
  if (protocol_ == NetworkProtocol::RawTcp && connectMs_ > MaxRoundTripMs)
    return Refused(OpenFailure::Other, TooFar("to connect"));
  if (protocol_ == NetworkProtocol::Rfc2217) return SetUpLine();
  return {};
}

bool NetworkPort::AnyConfirmed() const {
  return std::ranges::any_of(WantedSettings,
                             [&](const auto& want) { return receiver_.Confirmed(want.setting); });
}

bool NetworkPort::AllConfirmedAsWanted() const {
  return std::ranges::all_of(WantedSettings, [&](const auto& want) {
    return receiver_.Confirmed(want.setting) && receiver_.ConfirmedValue(want.setting) == want.wanted;
  });
}

std::string NetworkPort::TooFar(const std::string& what) const {
  return where_ + " took " + std::to_string(roundTripMs_) + " ms " + what + "; a round trip over " +
         std::to_string(MaxRoundTripMs) + " ms is too slow for the device's reply limits";
}

std::string NetworkPort::NotSetUp(bool setupSent) const {
  if (!setupSent) return where_ + " did not agree to RFC 2217 line control within 3 s";
  for (const auto& want : WantedSettings) {
    if (receiver_.Confirmed(want.setting) && receiver_.ConfirmedValue(want.setting) != want.wanted) {
      return where_ + " cannot set the " + SettingName(want.setting) + " to " + std::to_string(want.wanted) +
             " (it reports " + std::to_string(receiver_.ConfirmedValue(want.setting)) + ")";
    }
  }
  return where_ + " did not confirm the line settings within 3 s";
}

// Opens the telnet options, waits for COM-PORT-OPTION to be agreed, sends the line settings and the
// purge, and waits until the server has confirmed each setting as asked. The answers to the control
// lines and the purge are not waited for.
OpenError NetworkPort::SetUpLine() {
  const Deadline setup(clock_.NowMs(), ConnectTimeoutMs);
  const std::span<const uint8_t> opening = telnet::OpeningRequests();
  if (!SendRaw(opening.data(), opening.size()).Ok())
    return Refused(OpenFailure::Unreachable, where_ + " closed the connection");
  // The first confirmation after the line settings went out (all at once) is the network's round
  // trip, and it may take at most MaxRoundTripMs. Confirmations before it were sent unasked (a server
  // may announce its settings as soon as we connect, even before the option is agreed) and answer
  // nothing of ours. The option negotiation is no measure either: a server opens it unasked as soon
  // as we connect.
  std::optional<Deadline> confirmation;
  bool measured = false;
  for (;;) {
    if (receiver_.ComPortAnswered() && !receiver_.ComPortAccepted()) {
      return Refused(OpenFailure::NotSerial,
                     where_ + " does not offer RFC 2217 line control; use socket:// for a raw TCP port");
    }
    if (receiver_.ComPortAccepted() && !confirmation) {
      std::array<uint8_t, telnet::LineSetupCapacity> settings{};
      receiver_.ForgetConfirmations();
      confirmation.emplace(clock_.NowMs(), MaxRoundTripMs);
      if (!SendRaw(settings.data(), telnet::LineSetup(settings)).Ok())
        return Refused(OpenFailure::Unreachable, where_ + " closed the connection");
    }
    const uint64_t now = clock_.NowMs();
    if (confirmation && !measured && AnyConfirmed()) {
      measured = true;
      roundTripMs_ = static_cast<uint32_t>(confirmation->ElapsedMs(now));
      if (roundTripMs_ > confirmation->LimitMs())
        return Refused(OpenFailure::Other, TooFar("to confirm the line settings"));
    }
    // A value other than ours may still be an unasked confirmation that crossed our request on the
    // way; the server's answer to the request then follows it. Only the deadline judges.
    if (confirmation && AllConfirmedAsWanted()) break;
    if (setup.Passed(now)) return Refused(OpenFailure::Other, NotSetUp(confirmation.has_value()));
    if (!ReceiveMore(static_cast<uint32_t>(setup.RemainingMs(now))).Ok())
      return Refused(OpenFailure::Unreachable, where_ + " closed the connection");
  }
  // Data that came with the negotiation is from before the purge: not a reply to anything of ours.
  inPos_ = inEnd_ = 0;
  return {};
}

void NetworkPort::NoteAcknowledgeDelay(uint32_t ms) {
  if (!LearnsRoundTrip()) return;
  // The first acknowledge sets the round trip; later ones can only lower it towards the network's own.
  // The connect stays the floor: it crossed the network too when nothing ended TCP in between.
  // An acknowledge's delay includes the device's own time (an erase's may take 600 ms), so it is an
  // upper estimate of the network's: it is held within the limit that the open enforces.
  learnedMs_ = std::min(learnedMs_, ms);
  roundTripMs_ = std::max(connectMs_, std::min(learnedMs_, MaxRoundTripMs));
}

PortFault NetworkPort::NotOpenFault() const {
  return fault_.lineGone ? fault_ : PortClosedFault();
}

PortFault NetworkPort::Disconnected(const PortFault& socketFault) {
  // A broken connection stays failed until it is closed and opened again, as an unplugged adapter does.
  const std::string& reason = socketFault.words;
  PortFault fault{reason.empty() ? where_ + " closed the connection" : where_ + ": " + reason, true, hint_};
  socket_->Close();
  open_ = false;
  return fault;
}

void NetworkPort::ClosePort() {
  if (!open_) return;
  socket_->Close();
  open_ = false;
  inPos_ = inEnd_ = 0;
}

void NetworkPort::ShutdownPort() {
  if (!open_) return;
  clock_.Sleep(ShutdownPauseMs);
  ClosePort();
}

LineResult NetworkPort::SendRaw(const uint8_t* bytes, size_t count) {
  if (count == 0) return {};
  const LineResult sent = socket_->Send(bytes, count);
  if (!sent.Ok()) return Disconnected(sent.Fault());
  return {};
}

PortFault NetworkPort::Stalled(const std::string& words) const {
  return {where_ + ": " + words, false, hint_};
}

LineResult NetworkPort::Write(const uint8_t* bytes, size_t count) {
  if (!open_) return NotOpenFault();
  // Never behind bytes still waiting to leave: wait for them as a flush does, which fails either way.
  if (unsent_) return Flush();
  if (protocol_ == NetworkProtocol::RawTcp) return SendRaw(bytes, count);
  const size_t chunk = out_.size() / 2;  // every byte may double
  for (size_t done = 0; done < count; done += chunk) {
    const size_t n = std::min(chunk, count - done);
    if (LineResult sent = SendRaw(out_.data(), telnet::Escape(bytes + done, n, out_.data())); !sent.Ok())
      return sent;
  }
  return {};
}

LineResult NetworkPort::Flush() {
  if (!open_) return NotOpenFault();
  const LineValue<bool> drained = socket_->Drain(NetworkFlushLimitMs);
  if (!drained.Ok()) return Disconnected(drained.Fault());
  if (!drained.Value()) {
    unsent_ = true;
    return Stalled("the data did not leave within " + std::to_string(NetworkFlushLimitMs / 1000) + " s");
  }
  if (!unsent_) return {};
  // The packet that was stuck has only now gone: its reply must be waited out before the next.
  unsent_ = false;
  return Stalled("the earlier data left only now, so nothing is sent behind it yet");
}

LineResult NetworkPort::Absorb(size_t count) {
  inPos_ = 0;
  inEnd_ = count;
  if (protocol_ != NetworkProtocol::Rfc2217) return {};
  inEnd_ = receiver_.Decode(in_.data(), count);
  const std::span<const uint8_t> replies = receiver_.Replies();
  const LineResult sent = SendRaw(replies.data(), replies.size());
  receiver_.ClearReplies();
  return sent;
}

LineValue<size_t> NetworkPort::ReceiveMore(uint32_t timeoutMs) {
  const LineValue<size_t> received = socket_->Receive(in_.data(), in_.size(), timeoutMs);
  if (!received.Ok()) return Disconnected(received.Fault());
  if (LineResult answered = Absorb(received.Value()); !answered.Ok()) return answered.Fault();
  return received;
}

ByteRead NetworkPort::ReadByte() {
  if (!open_) return NotOpenFault();
  const Deadline read(clock_.NowMs(), ReadTimeoutMs);
  uint64_t wait = read.LimitMs();
  while (inPos_ == inEnd_) {
    const LineValue<size_t> received = ReceiveMore(static_cast<uint32_t>(wait));
    if (!received.Ok()) return received.Fault();
    if (inPos_ != inEnd_) break;
    if (received.Value() == 0) return ReadResult{ReadStatus::NoByte, 0};
    // Telnet commands alone carry no data byte: keep waiting out the rest of the 100 ms.
    const uint64_t now = clock_.NowMs();
    if (read.Passed(now)) return ReadResult{ReadStatus::NoByte, 0};
    wait = read.RemainingMs(now);
  }
  return ReadResult{ReadStatus::Byte, in_[inPos_++]};
}

LineResult NetworkPort::DiscardInput() {
  if (!open_) return NotOpenFault();
  for (size_t dropped = 0; dropped < DiscardLimitBytes;) {
    const LineValue<size_t> received = ReceiveMore(0);
    if (!received.Ok()) return received.Fault();
    if (received.Value() == 0) break;
    dropped += received.Value();
  }
  inPos_ = inEnd_ = 0;
  return {};
}

}  // namespace kv
