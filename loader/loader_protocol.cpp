#include "loader/loader_protocol.h"

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

void BuildPagePacket(uint16_t page, PageData data, std::array<uint8_t, PagePacketSize>& packet) {
  const auto field = static_cast<uint16_t>(page & PageFieldMask);
  packet[0] = PacketLead;
  packet[1] = CmdProgramPage;
  packet[2] = static_cast<uint8_t>(field & 0xFF);
  packet[3] = static_cast<uint8_t>(field >> 8);
  std::copy(data.begin(), data.end(), packet.begin() + 4);
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

void LoaderLink::Begin() {
  fault_ = {};
  roundTripMs_ = port_.RoundTripMs();
}

LinkResult LoaderLink::PortFailed() {
  fault_.fault = ReplyFault::PortFailed;
  fault_.port = port_.LastFault();
  return LinkResult::LinkFailure;
}

ReadResult LoaderLink::ReplyBy(uint64_t pauseEnd, uint64_t deadline, bool readDuringPause) {
  ReadResult read{ReadStatus::NoByte, 0};
  while (readDuringPause && read.status == ReadStatus::NoByte && clock_.NowMs() < pauseEnd) {
    read = port_.PortReadByte();
  }
  cameAt_ = clock_.NowMs();
  // The loader keeps its whole pause, however early a reply came.
  if (cameAt_ < pauseEnd) clock_.Sleep(static_cast<uint32_t>(pauseEnd - cameAt_));
  // On a local line the window after the pause is one read long; a round trip makes it longer, and
  // the last read may end after the deadline: then the moment the byte came decides (Reply).
  while (read.status == ReadStatus::NoByte && clock_.NowMs() < deadline) {
    read = port_.PortReadByte();
    cameAt_ = clock_.NowMs();
  }
  anyByte_ = anyByte_ || read.status == ReadStatus::Byte;
  return read;
}

LinkResult LoaderLink::Missed(ReplyStage stage, const ReadResult& read, uint32_t windowMs) {
  fault_.stage = stage;
  fault_.windowMs = windowMs;
  fault_.roundTripMs = roundTripMs_;
  if (read.status == ReadStatus::Failure) return PortFailed();
  fault_.fault = read.status == ReadStatus::NoByte ? ReplyFault::Silence : ReplyFault::WrongByte;
  fault_.byte = read.byte;
  fault_.nothingYet = !anyByte_;
  return LinkResult::LinkFailure;
}

ReadResult LoaderLink::Reply(ReplyStage stage, uint64_t from, uint32_t pauseMs) {
  replyFrom_ = from;
  // Only an acknowledge tells the network's delay: it answers the packet at once.
  const bool timed = stage == ReplyStage::Acknowledge && port_.LearnsRoundTrip();
  const uint64_t deadline = from + pauseMs + ReadTimeoutMs + roundTripMs_;
  ReadResult read = ReplyBy(from + pauseMs, deadline, timed);
  // A local line's one read ends with its window, as it always has: what it gives is in time.
  const bool readPastWindow = timed || roundTripMs_ > 0;
  if (readPastWindow && read.status == ReadStatus::Byte && cameAt_ > deadline) {
    // Read as it came, after its window had closed: late, as the quiet wait would have found it.
    Missed(stage, ReadResult{ReadStatus::NoByte, 0}, pauseMs + ReadTimeoutMs);
    NoteLateByte(read.byte, cameAt_);
    return {ReadStatus::Failure, 0};
  }
  if (timed && read.status == ReadStatus::Byte && read.byte == ReplyAck) {
    port_.NoteAcknowledgeDelay(static_cast<uint32_t>(cameAt_ - from));
  }
  return read;
}

bool LoaderLink::Acknowledged(uint64_t leftAt, uint32_t pauseMs) {
  const ReadResult ack = Reply(ReplyStage::Acknowledge, leftAt, pauseMs);
  if (fault_.fault != ReplyFault::None) return false;  // late
  if (ack.status == ReadStatus::Byte && ack.byte == ReplyAck) return true;
  Missed(ReplyStage::Acknowledge, ack, pauseMs + ReadTimeoutMs);
  return false;
}

// The status after an acknowledge: 0x68 done, 0x16 failed on the device, anything else (or nothing
// in time) a link failure.
LinkResult LoaderLink::Status(uint32_t pauseMs) {
  const ReadResult status = Reply(ReplyStage::Status, clock_.NowMs(), pauseMs);
  if (fault_.fault != ReplyFault::None) return LinkResult::LinkFailure;  // late
  if (status.status == ReadStatus::Byte && status.byte == ReplyOk) return LinkResult::Ok;
  if (status.status == ReadStatus::Byte && status.byte == ReplyError) {
    fault_.fault = ReplyFault::DeviceRefused;
    fault_.stage = ReplyStage::Status;
    fault_.byte = status.byte;
    return LinkResult::DeviceError;
  }
  return Missed(ReplyStage::Status, status, pauseMs + ReadTimeoutMs);
}

LinkResult LoaderLink::EraseSector(uint8_t sectorCode) {
  Begin();
  pump_.ProcessMessages();
  if (!port_.PortFlush()) return PortFailed();
  std::array<uint8_t, ErasePacketSize> packet;
  BuildErasePacket(sectorCode, packet);
  const std::optional<uint64_t> leftAt = Send(packet.data(), packet.size());
  if (!leftAt) return PortFailed();
  // The loader erases while we wait; each reply may come up to the end of its pause plus one read.
  if (!Acknowledged(*leftAt, EraseReplyPauseMs)) return LinkResult::LinkFailure;
  return Status(EraseReplyPauseMs);
}

LinkResult LoaderLink::ProgramPage(uint16_t page, PageData data) {
  Begin();
  pump_.ProcessMessages();
  if (!port_.PortFlush()) return PortFailed();
  // Built after the messages were processed: the packet carries the data as it is now.
  std::array<uint8_t, PagePacketSize> packet;
  BuildPagePacket(page, data, packet);
  const std::optional<uint64_t> leftAt = Send(packet.data(), packet.size());
  if (!leftAt) return PortFailed();
  if (!Acknowledged(*leftAt, 0)) return LinkResult::LinkFailure;
  return Status(0);
}

LinkResult LoaderLink::Finish() {
  Begin();
  std::array<uint8_t, FinishPacketSize> packet;
  BuildFinishPacket(packet);
  const std::optional<uint64_t> leftAt = Send(packet.data(), packet.size());
  if (!leftAt) return PortFailed();
  return Acknowledged(*leftAt, 0) ? LinkResult::Ok : LinkResult::LinkFailure;
}

void LoaderLink::NoteLateByte(uint8_t byte, uint64_t now) {
  if (fault_.fault != ReplyFault::Silence) return;  // only the first byte after the window closed
  const bool due =
      fault_.stage == ReplyStage::Acknowledge ? byte == ReplyAck : byte == ReplyOk || byte == ReplyError;
  fault_.fault = due ? ReplyFault::Late : ReplyFault::WrongByte;
  fault_.byte = byte;
  fault_.nothingYet = false;
  fault_.afterMs = static_cast<uint32_t>(now - replyFrom_);
}

void LoaderLink::AwaitQuietLine(uint32_t pauseMs) {
  const uint32_t quietMs = QuietLineMs + pauseMs + roundTripMs_;
  const uint64_t start = clock_.NowMs();
  uint64_t lastByteAt = start;
  for (;;) {
    const ReadResult read = port_.PortReadByte();
    const uint64_t now = clock_.NowMs();
    if (read.status == ReadStatus::Failure) return;  // the repeat will fail on the port at once
    if (read.status == ReadStatus::Byte) {
      anyByte_ = true;
      NoteLateByte(read.byte, now);
      lastByteAt = now;
    }
    if (now - lastByteAt >= quietMs || now - start >= QuietWaitLimitMs + pauseMs + roundTripMs_) return;
  }
}

namespace {

std::string Hex(uint8_t byte) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  return {'0', 'x', Digits[byte >> 4], Digits[byte & 0x0F]};
}

std::string_view ReplyName(ReplyStage stage) {
  return stage == ReplyStage::Acknowledge ? "acknowledge" : "status";
}

std::string_view CountedFrom(ReplyStage stage) {
  return stage == ReplyStage::Acknowledge ? "the packet" : "the acknowledge";
}

// "100 ms", or "100 ms and the network's 120 ms round trip".
std::string Limit(const CommandFault& fault) {
  std::string text = std::to_string(fault.windowMs) + " ms";
  if (fault.roundTripMs != 0)
    text += " and the network's " + std::to_string(fault.roundTripMs) + " ms round trip";
  return text;
}

}  // namespace

std::string DescribeCommandFault(const CommandFault& fault) {
  const std::string reply(ReplyName(fault.stage));
  switch (fault.fault) {
    case ReplyFault::None:
      return {};
    case ReplyFault::PortFailed:
      return fault.port.words;
    case ReplyFault::Silence:
      return "no " + reply + " within " + Limit(fault) + " after " + std::string(CountedFrom(fault.stage));
    case ReplyFault::WrongByte:
      return Hex(fault.byte) + " where the " + reply + " " +
             (fault.stage == ReplyStage::Acknowledge ? Hex(ReplyAck)
                                                     : Hex(ReplyOk) + " or " + Hex(ReplyError)) +
             " was due";
    case ReplyFault::Late:
      return "the " + reply + " came " + std::to_string(fault.afterMs) + " ms after " +
             std::string(CountedFrom(fault.stage)) + "; the limit is " + Limit(fault);
    case ReplyFault::DeviceRefused:
      return "the device reported that the step failed (" + Hex(fault.byte) + ")";
  }
  return {};
}

std::string_view HintFor(const CommandFault& fault) {
  switch (fault.fault) {
    case ReplyFault::WrongByte:
      return "check the line speed and parity (115200 baud, 8 data bits, even parity, 1 stop bit), and that "
             "no "
             "other device answers on the line";
    case ReplyFault::Late:
      return "the device answers, but just too late: lower the serial adapter's latency (on Linux its "
             "low-latency "
             "mode; on Windows the \"latency timer\" in the FTDI driver's advanced port settings), or the "
             "device "
             "is slow";
    case ReplyFault::PortFailed:
      if (!fault.port.hint.empty()) return fault.port.hint;  // a network line names its server
      return fault.port.lineGone ? "check the cable and the USB connection" : std::string_view();
    case ReplyFault::Silence:
      return fault.nothingYet ? NoAnswerHint : std::string_view();
    default:
      return {};
  }
}

}  // namespace kv
