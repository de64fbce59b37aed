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
  const uint16_t argument = command == EraseCommand ? packet[2]
                            : command == PageCommand
                                ? static_cast<uint16_t>((packet[2] | packet[3] << 8) & FlashPageMask)
                                : 0;
  const std::optional<FaultRule> fault = faults_.Take(command, argument);
  const bool carryOut = !fault || fault->kind == FaultKind::Late;

  // The normal answer: acknowledge at once, then (but for finish) the status once the work is done.
  bool done = true;
  uint64_t statusDelay = 0;
  ByteEffect effect;
  if (command == EraseCommand) {
    statusDelay = Ms(options_.eraseMs);
    if (carryOut)
      done = flash_.EraseSector(static_cast<uint8_t>(argument));
    else
      done = SectorForCode(static_cast<uint8_t>(argument)).has_value();
  } else if (command == PageCommand) {
    if (carryOut) done = flash_.ProgramPage(argument, packet.data() + 4);
  } else {
    effect.dumpFlash = carryOut;
  }
  const bool hasStatus = command != FinishCommand;
  uint8_t ack = AckReply;
  std::optional<uint8_t> status;
  if (hasStatus) status = done ? DoneReply : FailReply;
  uint64_t late = 0;

  if (fault) {
    Note(std::string("fault: ") + FaultName(fault->kind));
    switch (fault->kind) {
      case FaultKind::Error:
        status = FailReply;
        break;
      case FaultKind::NoAck:
        return effect;
      case FaultKind::NoStatus:
        status.reset();
        break;
      case FaultKind::BadAck:
        ack = GarbledReply;
        status.reset();
        break;
      case FaultKind::BadStatus:
        status = GarbledReply;
        break;
      case FaultKind::Late:
        late = Ms(fault->lateMs);
        break;
    }
  }
  Schedule(ack, atNs + late);
  if (status) Schedule(*status, atNs + statusDelay + late);
  return effect;
}

}  // namespace kv::sim
