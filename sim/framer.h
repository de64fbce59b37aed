// Cuts the byte stream from the host into loader packets, one byte at a time, as the device's loader
// does: wait for the lead byte, let the command byte fix the length, check the sum, and give up on a
// packet whose bytes stop coming.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kv::sim {

inline constexpr uint8_t Lead = 0xA2;
inline constexpr uint8_t EraseCommand = 0x10;
inline constexpr uint8_t PageCommand = 0x11;
inline constexpr uint8_t FinishCommand = 0x13;
inline constexpr size_t ErasePacketLength = 4;
inline constexpr size_t PagePacketLength = 261;
inline constexpr size_t FinishPacketLength = 3;
inline constexpr size_t LongestPacket = PagePacketLength;
// A packet whose next byte comes this long (or longer) after the previous one is abandoned.
inline constexpr uint64_t PacketGapNs = 50'000'000;

// Packet length for a command byte; 0 for a command the loader does not know.
size_t PacketLengthFor(uint8_t command);

enum class FrameEvent {
  None,            // byte taken (or ignored while waiting for a lead)
  Packet,          // a whole packet with a good sum: see packet()
  BadChecksum,     // a whole packet whose bytes do not sum to 0: see packet()
  UnknownCommand,  // lead followed by a command the loader does not know
  Gap,             // the packet under way was abandoned: its bytes stopped for 50 ms
};

class Framer {
 public:
  // `atNs` must not go backwards.
  FrameEvent Feed(uint8_t byte, uint64_t atNs);

  // The bytes of the last Packet or BadChecksum event; valid until the next Feed.
  std::span<const uint8_t> packet() const { return {buffer_.data(), length_}; }
  // How many bytes the packet abandoned by the last Gap event had.
  size_t abandoned() const { return abandoned_; }

 private:
  void Restart(uint8_t byte, uint64_t atNs);

  std::array<uint8_t, LongestPacket> buffer_{};
  size_t length_ = 0;    // bytes held of the current packet
  size_t expected_ = 0;  // 0 while the command byte is still to come
  size_t abandoned_ = 0;
  bool inPacket_ = false;
  uint64_t lastNs_ = 0;
};

}  // namespace kv::sim
