// The telnet layer of an RFC 2217 connection as pure logic, with no socket: escaping of outgoing
// data, the option requests a client opens with, the line-setting subnegotiations, and a receiver
// that strips telnet commands from what the server sends, answers its option negotiation, and records
// which line settings it has confirmed.
//
// Option answers follow the loop-prevention rule of telnet: only a request that changes an option's
// state is answered, and a request refused once is not answered again, so a server that asks again
// after every refusal cannot make the two sides bounce answers for ever.
//
// What a server sends is untrusted: the receiver keeps fixed-size state only, every byte sequence is
// accepted, and its replies per call are bounded by the bytes fed to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kv::telnet {

inline constexpr uint8_t Iac = 255;
inline constexpr uint8_t Dont = 254;
inline constexpr uint8_t Do = 253;
inline constexpr uint8_t Wont = 252;
inline constexpr uint8_t Will = 251;
inline constexpr uint8_t Sb = 250;
inline constexpr uint8_t Se = 240;

inline constexpr uint8_t OptionBinary = 0;
inline constexpr uint8_t OptionSuppressGoAhead = 3;
inline constexpr uint8_t OptionComPort = 44;

// Client-to-server COM-PORT-OPTION commands; the server answers each with the code plus 100.
inline constexpr uint8_t SetBaudRate = 1;
inline constexpr uint8_t SetDataSize = 2;
inline constexpr uint8_t SetParity = 3;
inline constexpr uint8_t SetStopSize = 4;
inline constexpr uint8_t SetControl = 5;
inline constexpr uint8_t PurgeData = 12;
inline constexpr uint8_t ServerOffset = 100;

// Line settings the client asks for and waits to see confirmed.
enum class Setting : uint8_t {
  BaudRate,  // 4-byte value, most significant first
  DataSize,  // 8
  Parity,    // 3: even
  StopSize,  // 1: one stop bit
};
inline constexpr size_t SettingCount = 4;

// Copies `count` bytes into `out` with every 0xFF doubled; `out` holds at least 2 * count bytes.
// Returns the bytes written.
size_t Escape(const uint8_t* bytes, size_t count, uint8_t* out);

// The requests a client opens with: both directions binary and without go-ahead, and COM-PORT-OPTION.
std::span<const uint8_t> OpeningRequests();

// The subnegotiations that set 115200 baud, 8 data bits, even parity, 1 stop bit, no flow control,
// DTR and RTS on, and purge the server's buffers both ways. Returns the bytes written into `out`.
inline constexpr size_t LineSetupCapacity = 96;
size_t LineSetup(std::array<uint8_t, LineSetupCapacity>& out);

// The values LineSetup asks for, as the server confirms them.
inline constexpr uint32_t WantedBaudRate = 115200;
inline constexpr uint32_t WantedDataSize = 8;
inline constexpr uint32_t WantedParity = 3;
inline constexpr uint32_t WantedStopSize = 1;

class Receiver {
 public:
  Receiver();

  // Decodes raw bytes from the server in place: the data bytes among them are moved to the front of
  // `bytes` in order; returns their count. Telnet commands may be split anywhere across calls.
  size_t Decode(uint8_t* bytes, size_t count);

  // The answers to the server's option negotiation that decoding produced, to be sent next.
  std::span<const uint8_t> Replies() const { return {replies_.data(), replyCount_}; }
  void ClearReplies() { replyCount_ = 0; }

  // The server agreed to (true) or refused (false) COM-PORT-OPTION; unset until it said either.
  bool ComPortAnswered() const { return comPortAnswer_ != Answer::None; }
  bool ComPortAccepted() const { return comPortAnswer_ == Answer::Yes; }

  // What the server last confirmed for a setting; unset until it has (since ForgetConfirmations).
  bool Confirmed(Setting setting) const { return confirmed_[Index(setting)]; }
  uint32_t ConfirmedValue(Setting setting) const { return values_[Index(setting)]; }
  // Drops every confirmation so far: a server may confirm settings unasked, and only what it says
  // after our own requests went out answers them.
  void ForgetConfirmations() { confirmed_.fill(false); }

 private:
  enum class State : uint8_t { Data, Command, Option, SubOption, SubData, SubCommand };
  enum class Answer : uint8_t { None, Yes, No };
  static size_t Index(Setting s) { return static_cast<size_t>(s); }

  // One byte through the decoder: the data byte it stands for, if any.
  std::optional<uint8_t> Take(uint8_t byte);
  // The byte after an IAC among data: an escaped 0xFF, or the start of a command.
  std::optional<uint8_t> AfterIac(uint8_t byte);
  void BeginSubnegotiation(uint8_t option);
  // A byte of a subnegotiation's value; one that would overflow marks it as not ours.
  void KeepSubnegotiationByte(uint8_t byte);
  // The byte after an IAC inside a subnegotiation: its end, or an escaped 0xFF.
  void AfterIacInSubnegotiation(uint8_t byte);
  void OnOption(uint8_t verb, uint8_t option);
  void OnSubnegotiation();
  void Reply(uint8_t verb, uint8_t option);

  State state_ = State::Data;
  uint8_t verb_ = 0;
  uint8_t subOption_ = 0;
  // A COM-PORT-OPTION answer is at most a code and 4 bytes; anything longer is not ours and ignored.
  std::array<uint8_t, 8> sub_{};
  size_t subCount_ = 0;
  bool subOverflow_ = false;
  // Per option: enabled on the server's side (it WILL) and on ours (we WILL), and refused once
  // already on that side.
  std::array<bool, 256> serverEnabled_{};
  std::array<bool, 256> clientEnabled_{};
  std::array<bool, 256> serverRefused_{};
  std::array<bool, 256> clientRefused_{};
  Answer comPortAnswer_ = Answer::None;
  std::array<bool, SettingCount> confirmed_{};
  std::array<uint32_t, SettingCount> values_{};
  // Each 3-byte command yields at most one 3-byte reply, so replies never outgrow what was fed;
  // the port sends them after every Decode of at most this many bytes.
  std::array<uint8_t, 1024> replies_{};
  size_t replyCount_ = 0;
};

}  // namespace kv::telnet
