#include "sim/device.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace kv::sim {
namespace {

constexpr uint64_t Ms(uint32_t ms) {
  return static_cast<uint64_t>(ms) * NsPerMs;
}

// The erase code, or the page number (11 bits), or 0 for finish.
uint16_t ArgumentOf(std::span<const uint8_t> packet) {
  switch (packet[1]) {
    case EraseCommand:
      return packet[2];
    case PageCommand:
      return static_cast<uint16_t>((packet[2] | packet[3] << 8) & FlashPageMask);
    default:
      return 0;
  }
}

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Error:
      return "error";
    case FaultKind::NoAck:
      return "noack";
    case FaultKind::NoStatus:
      return "nostatus";
    case FaultKind::BadAck:
      return "badack";
    case FaultKind::BadStatus:
      return "badstatus";
    case FaultKind::Late:
      return "late";
  }
  return "?";
}

}  // namespace

Device::Device(DeviceOptions options, TraceSink* trace) : options_(std::move(options)), trace_(trace) {
  for (const FaultRule& rule : options_.faults) faults_.Add(rule);
}

void Device::Note(std::string_view note) {
  if (trace_) trace_->TraceNote(note);
}

uint64_t Device::ArrivalOf(uint64_t realNs) {
  if (!options_.lineRate) return realNs;
  lastArrivalNs_ = std::max(realNs, lastArrivalNs_) + LineByteNs;
  return lastArrivalNs_;
}

void Device::Schedule(uint8_t byte, uint64_t dueNs) {
  if (replyCount_ == ReplyCapacity) {
    Note("reply dropped: the host is not reading");
    return;
  }
  // Replies leave one after another: each waits for the one before it, and on a paced line takes its
  // own byte time to get across.
  uint64_t at = std::max(dueNs, lineFreeNs_);
  if (options_.lineRate) at += LineByteNs;
  lineFreeNs_ = at;
  replies_[(replyHead_ + replyCount_) % ReplyCapacity] = Reply{at, byte};
  ++replyCount_;
}

void Device::PopReply() {
  if (replyCount_ == 0) return;
  replyHead_ = (replyHead_ + 1) % ReplyCapacity;
  --replyCount_;
}

ByteEffect Device::OnByte(uint8_t byte, uint64_t realNs) {
  if (hungUp_) return {};
  const uint64_t atNs = ArrivalOf(realNs);
  char note[64];
  switch (framer_.Feed(byte, atNs)) {
    case FrameEvent::None:
      return {};
    case FrameEvent::Packet:
      return Carry(framer_.packet(), atNs);
    case FrameEvent::BadChecksum:
      if (trace_) trace_->TracePacket(framer_.packet());
      Note("dropped: bad checksum");
      return {};
    case FrameEvent::UnknownCommand:
      std::snprintf(note, sizeof note, "dropped: unknown command %02X", byte);
      Note(note);
      return {};
    case FrameEvent::Gap:
      std::snprintf(note, sizeof note, "dropped: packet stopped after %zu bytes", framer_.abandoned());
      Note(note);
      return {};
  }
  return {};
}

ByteEffect Device::Carry(std::span<const uint8_t> packet, uint64_t atNs) {
  if (trace_) trace_->TracePacket(packet);
  ++packets_;
  if (options_.hangupAfter && packets_ >= *options_.hangupAfter) {
    hungUp_ = true;
    Note("hangup");
    return {.hangUp = true};
  }

  const uint8_t command = packet[1];
  const uint16_t argument = ArgumentOf(packet);
  const std::optional<FaultRule> fault = faults_.Take(command, argument);
  // A fault stops the command from being carried out, but for `late`, which only delays its replies.
  const bool carryOut = !fault || fault->kind == FaultKind::Late;
  Answer answer = Execute(command, argument, packet, carryOut);
  if (fault) {
    Note(std::string("fault: ") + FaultName(fault->kind));
    Distort(*fault, answer);
  }
  if (answer.ack) Schedule(*answer.ack, atNs + answer.lateNs);
  if (answer.status) Schedule(*answer.status, atNs + answer.statusDelayNs + answer.lateNs);
  return {.dumpFlash = command == FinishCommand && carryOut};
}

Device::Answer Device::Execute(uint8_t command, uint16_t argument, std::span<const uint8_t> packet,
                               bool carryOut) {
  Answer answer;
  const auto code = static_cast<uint8_t>(argument);
  switch (command) {
    case EraseCommand: {
      const bool done = carryOut ? flash_.EraseSector(code) : SectorForCode(code).has_value();
      answer.status = done ? DoneReply : FailReply;
      answer.statusDelayNs = Ms(options_.eraseMs);
      break;
    }
    case PageCommand: {
      const bool done = !carryOut || flash_.ProgramPage(argument, packet.data() + 4);
      answer.status = done ? DoneReply : FailReply;
      break;
    }
    default:  // finish: acknowledged only
      break;
  }
  return answer;
}

void Device::Distort(const FaultRule& fault, Answer& answer) {
  switch (fault.kind) {
    case FaultKind::Error:
      answer.status = FailReply;
      break;
    case FaultKind::NoAck:
      answer.ack.reset();
      answer.status.reset();
      break;
    case FaultKind::NoStatus:
      answer.status.reset();
      break;
    case FaultKind::BadAck:
      answer.ack = GarbledReply;
      answer.status.reset();
      break;
    case FaultKind::BadStatus:
      answer.status = GarbledReply;
      break;
    case FaultKind::Late:
      answer.lateNs = Ms(fault.lateMs);
      break;
  }
}

}  // namespace kv::sim
