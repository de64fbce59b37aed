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

namespace {

// The loader erases during its pause before each of an erase's two replies; a page and the finish
// are answered at once. Only the finish goes without its status, and without a turn of the event loop.
constexpr CommandSteps EraseSteps{
    .turnsEventLoopFirst = true, .replyPauseMs = EraseReplyPauseMs, .statusFollows = true};
constexpr CommandSteps PageSteps{.turnsEventLoopFirst = true, .replyPauseMs = 0, .statusFollows = true};
constexpr CommandSteps FinishSteps{.turnsEventLoopFirst = false, .replyPauseMs = 0, .statusFollows = false};

// The bytes the loader may send for the reply due at `stage`: only then is a late one an answer.
bool MayAnswer(ReplyStage stage, uint8_t byte) {
  return stage == ReplyStage::Acknowledge ? byte == ReplyAck : byte == ReplyOk || byte == ReplyError;
}

}  // namespace

template <typename BuildPacket>
LinkResult LoaderLink::RunCommand(const CommandSteps& steps, BuildPacket buildPacket) {
  fault_ = {};
  roundTripMs_ = port_.RoundTripMs();
  if (steps.turnsEventLoopFirst) {
    pump_.ProcessMessages();
    if (!port_.PortFlush()) return PortFailed();
  }
  // Built after the events were processed: the packet carries the data as it is now.
  const std::optional<uint64_t> leftAt = Send(buildPacket());
  if (!leftAt) return PortFailed();
  const LinkResult acknowledged = TakeReply(ReplyStage::Acknowledge, *leftAt, steps.replyPauseMs);
  if (acknowledged != LinkResult::Ok || !steps.statusFollows) return acknowledged;
  // The status counts from the moment the acknowledge was taken: after the loader's pause, however
  // early the byte came.
  return TakeReply(ReplyStage::Status, clock_.NowMs(), steps.replyPauseMs);
}

LinkResult LoaderLink::EraseSector(uint8_t sectorCode) {
  std::array<uint8_t, ErasePacketSize> packet;
  return RunCommand(EraseSteps, [&] {
    BuildErasePacket(sectorCode, packet);
    return std::span<const uint8_t>(packet);
  });
}

LinkResult LoaderLink::ProgramPage(uint16_t page, PageData data) {
  std::array<uint8_t, PagePacketSize> packet;
  return RunCommand(PageSteps, [&] {
    BuildPagePacket(page, data, packet);
    return std::span<const uint8_t>(packet);
  });
}

LinkResult LoaderLink::Finish() {
  std::array<uint8_t, FinishPacketSize> packet;
  return RunCommand(FinishSteps, [&] {
    BuildFinishPacket(packet);
    return std::span<const uint8_t>(packet);
  });
}

std::optional<uint64_t> LoaderLink::Send(std::span<const uint8_t> packet) {
  // A byte already received can only be stale: a late reply to an earlier packet, or one left on the
  // line by an earlier run. Judged as this packet's reply it would shift every later judgement.
  if (!port_.PortDiscardInput()) return std::nullopt;
  const Deadline onTheLine{clock_.NowMs(), LineTimeMs(packet.size())};
  if (!port_.PortWrite(packet.data(), packet.size()) || !port_.PortFlush()) return std::nullopt;
  // The drain means "left the wire" on a real line; a pseudo-terminal, a USB adapter's FIFO or a
  // network port returns early, so the packet's own line time counts too.
  return std::max(clock_.NowMs(), onTheLine.End());
}

LinkResult LoaderLink::TakeReply(ReplyStage stage, uint64_t from, uint32_t pauseMs) {
  const Deadline window{from, pauseMs + ReadTimeoutMs};
  return Judge(stage, window, AwaitReply(stage, window, pauseMs));
}

LoaderLink::ReplyRead LoaderLink::AwaitReply(ReplyStage stage, const Deadline& window, uint32_t pauseMs) {
  // Only an acknowledge tells the network's delay: it answers the packet at once.
  const bool timed = stage == ReplyStage::Acknowledge && port_.LearnsRoundTrip();
  const Deadline wait = window.WidenedBy(roundTripMs_);
  ReplyRead reply = ReadReply(Deadline{window.Start(), pauseMs}, wait, timed);
  // A local line's one read ends with its window: what it gives is in time. Reading during the pause
  // or for a round trip, the last read may end after the window: then the moment the byte came
  // decides (one that came at the very end is in time).
  const bool readsPastWindow = timed || roundTripMs_ > 0;
  const bool byteCame = reply.read.status == ReadStatus::Byte;
  reply.late = readsPastWindow && byteCame && reply.cameAt > wait.End();
  if (timed && byteCame && !reply.late && reply.read.byte == ReplyAck) {
    port_.NoteAcknowledgeDelay(static_cast<uint32_t>(window.ElapsedMs(reply.cameAt)));
  }
  return reply;
}

LoaderLink::ReplyRead LoaderLink::ReadReply(const Deadline& pause, const Deadline& wait,
                                            bool readDuringPause) {
  ReplyRead reply{{ReadStatus::NoByte, 0}};
  while (readDuringPause && reply.read.status == ReadStatus::NoByte && !pause.Passed(clock_.NowMs())) {
    reply.read = port_.PortReadByte();
  }
  reply.cameAt = clock_.NowMs();
  // The loader keeps its whole pause, however early a reply came.
  if (!pause.Passed(reply.cameAt)) clock_.Sleep(static_cast<uint32_t>(pause.RemainingMs(reply.cameAt)));
  while (reply.read.status == ReadStatus::NoByte && !wait.Passed(clock_.NowMs())) {
    reply.read = port_.PortReadByte();
    reply.cameAt = clock_.NowMs();
  }
  anyByte_ = anyByte_ || reply.read.status == ReadStatus::Byte;
  return reply;
}

LinkResult LoaderLink::Judge(ReplyStage stage, const Deadline& window, const ReplyRead& reply) {
  if (reply.late) {
    // Read as it came, after its window had closed: late, as the quiet wait would have found it.
    Missed(stage, window, ReadResult{ReadStatus::NoByte, 0});
    NoteLateByte(reply.read.byte, reply.cameAt);
    return LinkResult::LinkFailure;
  }
  const bool byteCame = reply.read.status == ReadStatus::Byte;
  const uint8_t expected = stage == ReplyStage::Acknowledge ? ReplyAck : ReplyOk;
  if (byteCame && reply.read.byte == expected) return LinkResult::Ok;
  if (byteCame && stage == ReplyStage::Status && reply.read.byte == ReplyError) {
    fault_.fault = ReplyFault::DeviceRefused;
    fault_.stage = stage;
    fault_.byte = reply.read.byte;
    return LinkResult::DeviceError;
  }
  return Missed(stage, window, reply.read);
}

LinkResult LoaderLink::PortFailed() {
  fault_.fault = ReplyFault::PortFailed;
  fault_.port = port_.LastFault();
  return LinkResult::LinkFailure;
}

LinkResult LoaderLink::Missed(ReplyStage stage, const Deadline& window, const ReadResult& read) {
  fault_.stage = stage;
  fault_.windowMs = static_cast<uint32_t>(window.LimitMs());
  fault_.windowOpenedAt = window.Start();
  fault_.roundTripMs = roundTripMs_;
  if (read.status == ReadStatus::Failure) return PortFailed();
  fault_.fault = read.status == ReadStatus::NoByte ? ReplyFault::Silence : ReplyFault::WrongByte;
  fault_.byte = read.byte;
  fault_.nothingYet = !anyByte_;
  return LinkResult::LinkFailure;
}

void LoaderLink::NoteLateByte(uint8_t byte, uint64_t at) {
  if (fault_.fault != ReplyFault::Silence) return;  // only the first byte after the window closed
  fault_.fault = MayAnswer(fault_.stage, byte) ? ReplyFault::Late : ReplyFault::WrongByte;
  fault_.byte = byte;
  fault_.nothingYet = false;
  fault_.afterMs = static_cast<uint32_t>(at - fault_.windowOpenedAt);
}

void LoaderLink::AwaitQuietLine(uint32_t pauseMs) {
  const uint32_t widenedBy = pauseMs + roundTripMs_;
  const Deadline limit{clock_.NowMs(), QuietWaitLimitMs + widenedBy};
  Deadline quiet{limit.Start(), QuietLineMs + widenedBy};  // begins again with each byte
  for (;;) {
    const ReadResult read = port_.PortReadByte();
    const uint64_t now = clock_.NowMs();
    if (read.status == ReadStatus::Failure) return;  // the repeat will fail on the port at once
    if (read.status == ReadStatus::Byte) {
      anyByte_ = true;
      NoteLateByte(read.byte, now);
      quiet = Deadline{now, quiet.LimitMs()};
    }
    if (quiet.Passed(now) || limit.Passed(now)) return;
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
      return "check the line speed and parity (115200 baud, 8 data bits, even parity, 1 stop bit), "
             "and that no other device answers on the line";
    case ReplyFault::Late:
      return "the device answers, but just too late: lower the serial adapter's latency (on Linux its "
             "low-latency mode; on Windows the \"latency timer\" in the FTDI driver's advanced port "
             "settings), or the device is slow";
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
