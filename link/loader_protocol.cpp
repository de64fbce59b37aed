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

namespace {

// The acknowledge: anything but 0xE5 in time is a link failure, and then the status is not read.
bool AcknowledgeRead(Port& port) {
  const ReadResult ack = port.PortReadByte();
  return ack.status == ReadStatus::Byte && ack.byte == ReplyAck;
}

// The status after an acknowledge: 0x68 done, 0x16 failed on the device, anything else (or nothing
// in time) a link failure.
LinkResult JudgeStatus(Port& port) {
  const ReadResult status = port.PortReadByte();
  if (status.status != ReadStatus::Byte) return LinkFailure;
  if (status.byte == ReplyOk) return Ok;
  if (status.byte == ReplyError) return DeviceError;
  return LinkFailure;
}

}  // namespace

LinkResult LoaderLink::EraseSector(uint8_t sectorCode) {
  pump_.ProcessMessages();
  if (!port_.PortFlush()) return LinkFailure;
  std::array<uint8_t, ErasePacketSize> packet;
  BuildErasePacket(sectorCode, packet);
  if (!port_.PortWrite(packet.data(), packet.size())) return LinkFailure;
  // The loader erases while we wait; its two replies queue up and are read when each pause ends.
  clock_.Sleep(EraseReplyPauseMs);
  if (!AcknowledgeRead(port_)) return LinkFailure;
  clock_.Sleep(EraseReplyPauseMs);
  return JudgeStatus(port_);
}

LinkResult LoaderLink::ProgramPage(uint16_t page) {
  pump_.ProcessMessages();
  if (!port_.PortFlush()) return LinkFailure;
  // Built after the messages were processed: the packet carries the image as it is now.
  std::array<uint8_t, PagePacketSize> packet;
  BuildPagePacket(image_, page, packet);
  if (!port_.PortWrite(packet.data(), packet.size())) return LinkFailure;
  if (!AcknowledgeRead(port_)) return LinkFailure;
  return JudgeStatus(port_);
}

LinkResult LoaderLink::Finish() {
  std::array<uint8_t, FinishPacketSize> packet;
  BuildFinishPacket(packet);
  if (!port_.PortWrite(packet.data(), packet.size())) return LinkFailure;
  return AcknowledgeRead(port_) ? Ok : LinkFailure;
}

}  // namespace kv
