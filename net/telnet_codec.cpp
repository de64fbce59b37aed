#include "net/telnet_codec.h"

#include <iterator>
#include <optional>

namespace kv::telnet {
namespace {

constexpr uint8_t Opening[] = {
    Iac, Will, OptionBinary,          Iac, Do, OptionBinary,  //
    Iac, Will, OptionSuppressGoAhead, Iac, Do, OptionSuppressGoAhead, Iac, Will, OptionComPort,
};

// SET-CONTROL values: no flow control, DTR on, RTS on. The server's answer to the last two is never
// waited for: ser2net on a pseudo-terminal does not give one.
constexpr uint8_t ControlNoFlowControl = 1;
constexpr uint8_t ControlDtrOn = 8;
constexpr uint8_t ControlRtsOn = 11;
constexpr uint8_t PurgeBoth = 3;

// Options this client agrees to: binary and no go-ahead both ways, and COM-PORT-OPTION on its own
// side only (the client is the one that controls the line); every other one is refused.
bool Wanted(bool serverSide, uint8_t option) {
  return option == OptionBinary || option == OptionSuppressGoAhead ||
         (!serverSide && option == OptionComPort);
}

size_t Subnegotiation(uint8_t* out, uint8_t command, std::span<const uint8_t> value) {
  size_t n = 0;
  out[n++] = Iac;
  out[n++] = Sb;
  out[n++] = OptionComPort;
  out[n++] = command;
  n += Escape(value.data(), value.size(), out + n);
  out[n++] = Iac;
  out[n++] = Se;
  return n;
}

}  // namespace

size_t Escape(const uint8_t* bytes, size_t count, uint8_t* out) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    out[n++] = bytes[i];
    if (bytes[i] == Iac) out[n++] = Iac;
  }
  return n;
}

std::span<const uint8_t> OpeningRequests() {
  return Opening;
}

size_t LineSetup(std::array<uint8_t, LineSetupCapacity>& out) {
  const uint8_t baud[] = {static_cast<uint8_t>(WantedBaudRate >> 24),
                          static_cast<uint8_t>(WantedBaudRate >> 16),
                          static_cast<uint8_t>(WantedBaudRate >> 8), static_cast<uint8_t>(WantedBaudRate)};
  const uint8_t dataSize[] = {WantedDataSize};
  const uint8_t parity[] = {WantedParity};
  const uint8_t stopSize[] = {WantedStopSize};
  const uint8_t noFlow[] = {ControlNoFlowControl};
  const uint8_t dtr[] = {ControlDtrOn};
  const uint8_t rts[] = {ControlRtsOn};
  const uint8_t purge[] = {PurgeBoth};
  size_t n = 0;
  n += Subnegotiation(out.data() + n, SetBaudRate, baud);
  n += Subnegotiation(out.data() + n, SetDataSize, dataSize);
  n += Subnegotiation(out.data() + n, SetParity, parity);
  n += Subnegotiation(out.data() + n, SetStopSize, stopSize);
  n += Subnegotiation(out.data() + n, SetControl, noFlow);
  n += Subnegotiation(out.data() + n, SetControl, dtr);
  n += Subnegotiation(out.data() + n, SetControl, rts);
  n += Subnegotiation(out.data() + n, PurgeData, purge);
  return n;
}

Receiver::Receiver() {
  // The opening requests count as agreed until the server says otherwise, so that its "yes" to
  // them is not answered again (which could loop for ever with a server that answers answers).
  for (size_t i = 0; i + 2 < std::size(Opening); i += 3) {
    (Opening[i + 1] == Will ? clientEnabled_ : serverEnabled_)[Opening[i + 2]] = true;
  }
}

size_t Receiver::Decode(uint8_t* bytes, size_t count) {
  size_t out = 0;
  for (size_t i = 0; i < count; ++i) {
    if (const std::optional<uint8_t> data = Take(bytes[i])) bytes[out++] = *data;
  }
  return out;
}

std::optional<uint8_t> Receiver::Take(uint8_t byte) {
  switch (state_) {
    case State::Data:
      if (byte != Iac) return byte;
      state_ = State::Command;
      return std::nullopt;
    case State::Command:
      return AfterIac(byte);
    case State::Option:
      OnOption(verb_, byte);
      state_ = State::Data;
      return std::nullopt;
    case State::SubOption:
      BeginSubnegotiation(byte);
      return std::nullopt;
    case State::SubData:
      if (byte == Iac) {
        state_ = State::SubCommand;
      } else {
        KeepSubnegotiationByte(byte);
      }
      return std::nullopt;
    case State::SubCommand:
      AfterIacInSubnegotiation(byte);
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<uint8_t> Receiver::AfterIac(uint8_t byte) {
  if (byte == Iac) {  // an escaped 0xFF data byte
    state_ = State::Data;
    return byte;
  }
  if (byte >= Will) {
    verb_ = byte;
    state_ = State::Option;
  } else if (byte == Sb) {
    state_ = State::SubOption;
  } else {
    state_ = State::Data;  // NOP, go-ahead, break and the like carry nothing for us
  }
  return std::nullopt;
}

void Receiver::BeginSubnegotiation(uint8_t option) {
  subOption_ = option;
  subCount_ = 0;
  subOverflow_ = false;
  state_ = State::SubData;
}

void Receiver::KeepSubnegotiationByte(uint8_t byte) {
  if (subCount_ < sub_.size()) {
    sub_[subCount_++] = byte;
  } else {
    subOverflow_ = true;
  }
}

void Receiver::AfterIacInSubnegotiation(uint8_t byte) {
  if (byte == Se) {
    OnSubnegotiation();
    state_ = State::Data;
    return;
  }
  if (byte == Iac) KeepSubnegotiationByte(byte);  // an escaped 0xFF within the value
  // Anything else is not valid inside a subnegotiation and is skipped.
  state_ = State::SubData;
}

void Receiver::OnOption(uint8_t verb, uint8_t option) {
  const bool serverSide = verb == Will || verb == Wont;
  const bool asks = verb == Will || verb == Do;
  const bool agree = asks && Wanted(serverSide, option);
  bool& enabled = (serverSide ? serverEnabled_ : clientEnabled_)[option];
  bool& refused = (serverSide ? serverRefused_ : clientRefused_)[option];
  if (!serverSide && option == OptionComPort) comPortAnswer_ = agree ? Answer::Yes : Answer::No;
  if (asks && !agree) {
    // The first refusal is answered (the server waits for it); a request repeated after it changes
    // nothing and gets no answer.
    if (refused) return;
    refused = true;
    enabled = false;
    Reply(serverSide ? Dont : Wont, option);
    return;
  }
  // Only a change of state is answered.
  if (enabled == agree) return;
  enabled = agree;
  if (serverSide) {
    Reply(agree ? Do : Dont, option);
  } else {
    Reply(agree ? Will : Wont, option);
  }
}

void Receiver::OnSubnegotiation() {
  if (subOption_ != OptionComPort || subOverflow_ || subCount_ < 2) return;
  const uint8_t code = sub_[0];
  if (code < ServerOffset + SetBaudRate || code > ServerOffset + SetStopSize) return;
  const size_t index = code - ServerOffset - SetBaudRate;  // the Setting values follow the codes
  const bool isBaud = code == ServerOffset + SetBaudRate;
  if (subCount_ != (isBaud ? 5u : 2u)) return;
  uint32_t value = 0;
  for (size_t i = 1; i < subCount_; ++i) value = (value << 8) | sub_[i];
  confirmed_[index] = true;
  values_[index] = value;
}

void Receiver::Reply(uint8_t verb, uint8_t option) {
  if (replyCount_ + 3 > replies_.size()) return;  // only when fed more than one buffer at once
  replies_[replyCount_++] = Iac;
  replies_[replyCount_++] = verb;
  replies_[replyCount_++] = option;
}

}  // namespace kv::telnet
