#include "sim/framer.h"

namespace kv::sim {

size_t PacketLengthFor(uint8_t command) {
  switch (command) {
    case EraseCommand:
      return ErasePacketLength;
    case PageCommand:
      return PagePacketLength;
    case FinishCommand:
      return FinishPacketLength;
    default:
      return 0;
  }
}

void Framer::Restart(uint8_t byte, uint64_t atNs) {
  inPacket_ = byte == Lead;
  buffer_[0] = byte;
  length_ = inPacket_ ? 1 : 0;
  expected_ = 0;
  lastNs_ = atNs;
}

FrameEvent Framer::Feed(uint8_t byte, uint64_t atNs) {
  if (!inPacket_) {
    Restart(byte, atNs);
    return FrameEvent::None;
  }
  if (atNs - lastNs_ >= PacketGapNs) {
    abandoned_ = length_;
    Restart(byte, atNs);
    return FrameEvent::Gap;
  }
  lastNs_ = atNs;
  if (expected_ == 0) {
    expected_ = PacketLengthFor(byte);
    if (expected_ == 0) {
      // Resynchronise: a lead byte in the command's place starts the next packet.
      Restart(byte, atNs);
      return FrameEvent::UnknownCommand;
    }
  }
  buffer_[length_++] = byte;
  if (length_ < expected_) return FrameEvent::None;

  inPacket_ = false;
  uint8_t sum = 0;
  for (size_t i = 0; i < length_; ++i) sum = static_cast<uint8_t>(sum + buffer_[i]);
  return sum == 0 ? FrameEvent::Packet : FrameEvent::BadChecksum;
}

}  // namespace kv::sim
