#include "link/loader_protocol.h"

#include <algorithm>

namespace kv {

uint8_t PacketChecksum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0 - sum);
}

void BuildErasePacket(uint8_t sectorCode, std::array<uint8_t, ErasePacketSize>& packet) {
  packet[0] = PacketLead;
  packet[1] = CmdEraseSector;
  packet[2] = sectorCode;
  packet[3] = PacketChecksum(packet.data(), ErasePacketSize - 1);
}

void BuildPagePacket(const MemoryImage& image, uint16_t page, std::array<uint8_t, PagePacketSize>& packet) {
  // Only bits 0 to 10 go to the device: page numbers are taken modulo 2048.
  const auto field = static_cast<uint16_t>(page & (PageCount - 1));
  packet[0] = PacketLead;
  packet[1] = CmdProgramPage;
  packet[2] = static_cast<uint8_t>(field & 0xFF);
  packet[3] = static_cast<uint8_t>(field >> 8);
  const uint8_t* data = image.PageData(field);  // 256 bytes inside one bank
  std::copy(data, data + PageSize, packet.begin() + 4);
  packet[PagePacketSize - 1] = PacketChecksum(packet.data(), PagePacketSize - 1);
}

void BuildFinishPacket(std::array<uint8_t, FinishPacketSize>& packet) {
  packet[0] = PacketLead;
  packet[1] = CmdFinish;
  packet[2] = PacketChecksum(packet.data(), FinishPacketSize - 1);
}

std::optional<uint64_t> LoaderLink::Send(const uint8_t* bytes, size_t count) {
  // A byte already received can only be stale: a late reply to an earlier packet, or one left on the
  // line by an earlier run. Judged as this packet's reply it would shift every later judgement.
  if (!port_.PortDiscardInput()) return std::nullopt;
  const uint64_t writeStart = clock_.NowMs();
  if (!port_.PortWrite(bytes, count) || !port_.PortFlush()) return std::nullopt;
  // The drain means "left the wire" on a real line; a pseudo-terminal, a USB adapter's FIFO or a
  // network port returns early, so the packet's own line time counts too.
  return std::max(clock_.NowMs(), writeStart + LineTimeMs(count));
}

ReadResult LoaderLink::ReplyBy(uint64_t deadlineMs) {
  const uint64_t now = clock_.NowMs();
  if (deadlineMs > now + ReadTimeoutMs) clock_.Sleep(static_cast<uint32_t>(deadlineMs - now - ReadTimeoutMs));
  return port_.PortReadByte();
}

// The acknowledge: anything but 0xE5 in time is a link failure, and then the status is not read.
bool LoaderLink::AcknowledgedBy(uint64_t deadlineMs) {
  const ReadResult ack = ReplyBy(deadlineMs);
  return ack.status == ReadStatus::Byte && ack.byte == ReplyAck;
}

// The status after an acknowledge: 0x68 done, 0x16 failed on the device, anything else (or nothing
// in time) a link failure.
LinkResult LoaderLink::StatusBy(uint64_t deadlineMs) {
  const ReadResult status = ReplyBy(deadlineMs);
  if (status.status != ReadStatus::Byte) return LinkResult::LinkFailure;
  if (status.byte == ReplyOk) return LinkResult::Ok;
  if (status.byte == ReplyError) return LinkResult::DeviceError;
  return LinkResult::LinkFailure;
}

LinkResult LoaderLink::EraseSector(uint8_t sectorCode) {
  pump_.ProcessMessages();
  if (!port_.PortFlush()) return LinkResult::LinkFailure;
  std::array<uint8_t, ErasePacketSize> packet;
  BuildErasePacket(sectorCode, packet);
  const std::optional<uint64_t> leftAt = Send(packet.data(), packet.size());
  if (!leftAt) return LinkResult::LinkFailure;
  // The loader erases while we wait; each reply may come up to the end of its pause plus one read.
  if (!AcknowledgedBy(*leftAt + EraseReplyPauseMs + ReadTimeoutMs)) return LinkResult::LinkFailure;
  return StatusBy(clock_.NowMs() + EraseReplyPauseMs + ReadTimeoutMs);
}

LinkResult LoaderLink::ProgramPage(uint16_t page) {
  pump_.ProcessMessages();
  if (!port_.PortFlush()) return LinkResult::LinkFailure;
  // Built after the messages were processed: the packet carries the image as it is now.
  std::array<uint8_t, PagePacketSize> packet;
  BuildPagePacket(image_, page, packet);
  const std::optional<uint64_t> leftAt = Send(packet.data(), packet.size());
  if (!leftAt) return LinkResult::LinkFailure;
  if (!AcknowledgedBy(*leftAt + ReadTimeoutMs)) return LinkResult::LinkFailure;
  return StatusBy(clock_.NowMs() + ReadTimeoutMs);
}

LinkResult LoaderLink::Finish() {
  std::array<uint8_t, FinishPacketSize> packet;
  BuildFinishPacket(packet);
  const std::optional<uint64_t> leftAt = Send(packet.data(), packet.size());
  if (!leftAt) return LinkResult::LinkFailure;
  return AcknowledgedBy(*leftAt + ReadTimeoutMs) ? LinkResult::Ok : LinkResult::LinkFailure;
}

void LoaderLink::AwaitQuietLine() {
  const uint64_t start = clock_.NowMs();
  uint64_t lastByteAt = start;
  for (;;) {
    const ReadResult read = port_.PortReadByte();
    const uint64_t now = clock_.NowMs();
    if (read.status == ReadStatus::Failure) return;  // the repeat will fail on the port at once
    if (read.status == ReadStatus::Byte) lastByteAt = now;
    if (now - lastByteAt >= QuietLineMs || now - start >= QuietWaitLimitMs) return;
  }
}

}  // namespace kv
