#include "tests/support/fake_port.h"

#include <algorithm>

namespace kv::test {

bool FakePort::Fails() {
  fault_ = open_ ? failure : PortClosedFault();
  return false;
}

int FakePort::OpenPort(int n) {
  calls.push_back("open " + std::to_string(n));
  openedPorts.push_back(n);
  if (openFails) return 1;
  open_ = true;
  return 0;
}

void FakePort::ClosePort() {
  calls.emplace_back("close");
  if (!open_) return;
  open_ = false;
  ++closes;
}

void FakePort::ShutdownPort() {
  calls.emplace_back("shutdown");
  if (!open_) return;
  clock_.Sleep(ShutdownPauseMs);
  open_ = false;
  ++shutdowns;
}

bool FakePort::PortFlush() {
  calls.emplace_back("flush");
  if (!open_ || flushFails) return Fails();
  if (undrained_) clock_.now += drainMs;  // not a pause of ours: the line is busy
  undrained_ = false;
  return true;
}

bool FakePort::PortWrite(const uint8_t* bytes, size_t count) {
  calls.push_back("write " + std::to_string(count));
  if (!open_ || writeFails) return Fails();
  writes.push_back({std::vector<uint8_t>(bytes, bytes + count), clock_.now});
  undrained_ = true;
  if (responder) responder(*this, writes.back().bytes);
  return true;
}

ReadResult FakePort::PortReadByte() {
  calls.emplace_back("read");
  ++reads;
  if (!open_ || readFails || reads == failRead) {
    Fails();
    return {ReadStatus::Failure, 0};
  }
  if (!input_.empty() && input_.front().at <= clock_.now + ReadTimeoutMs) {
    const Pending next = input_.front();
    input_.pop_front();
    clock_.now = std::max(clock_.now, next.at);
    return {ReadStatus::Byte, next.byte};
  }
  clock_.now += ReadTimeoutMs;
  return {ReadStatus::NoByte, 0};
}

bool FakePort::PortDiscardInput() {
  calls.emplace_back("discard");
  if (!open_ || discardFails) return Fails();
  // Only what has arrived by now is thrown away; bytes still on their way arrive later.
  while (!input_.empty() && input_.front().at <= clock_.now) input_.pop_front();
  return true;
}

void FakePort::QueueReply(uint8_t byte, uint64_t delayMs) {
  // Bytes arrive in order: a byte can't overtake one queued before it.
  uint64_t at = clock_.now + delayMs;
  if (!input_.empty()) at = std::max(at, input_.back().at);
  input_.push_back({byte, at});
}

void FakePort::QueueReplies(std::initializer_list<uint8_t> bytes, uint64_t delayMs) {
  for (uint8_t b : bytes) QueueReply(b, delayMs);
}

void FakePort::AnswerAsAHealthyLoader(FakePort& device, const std::vector<uint8_t>& packet) {
  if (packet.size() > 1 && packet[1] == 0x13) {
    device.QueueReply(0xE5);  // finish: acknowledge only
  } else {
    device.QueueReplies({0xE5, 0x68});
  }
}

}  // namespace kv::test
