// A scripted serial port on virtual time, for tests of the protocol and the download.
//
// The VirtualClock's Sleep only advances its time. The FakePort queues reply bytes with the virtual
// time at which they arrive; PortReadByte returns a waiting byte at once, waits (in virtual time) for
// one due within 100 ms, or spends 100 ms and reports no byte. A responder, when set, plays the device:
// it sees every packet written and queues its replies. Everything the port is asked to do is logged.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "line/port.h"

namespace kv::test {

class VirtualClock : public Clock {
 public:
  void Sleep(uint32_t ms) override {
    now += ms;
    sleeps.push_back(ms);
  }
  uint64_t NowMs() override { return now; }
  uint64_t now = 0;
  std::vector<uint32_t> sleeps;
};

struct WrittenPacket {
  std::vector<uint8_t> bytes;
  uint64_t at;  // virtual ms
};

class FakePort : public Port {
 public:
  explicit FakePort(VirtualClock& clock) : clock_(clock) {}

  int OpenPort(int n) override;
  const OpenError& LastOpenError() const override { return openError; }
  void ClosePort() override;
  void ShutdownPort() override;
  bool IsOpen() const override { return open_; }
  bool PortFlush() override;
  bool PortWrite(const uint8_t* bytes, size_t count) override;
  ReadResult PortReadByte() override;
  bool PortDiscardInput() override;
  const PortFault& LastFault() const override { return fault_; }
  uint32_t RoundTripMs() const override { return roundTripMs; }
  bool LearnsRoundTrip() const override { return learnsRoundTrip; }
  void NoteAcknowledgeDelay(uint32_t ms) override { acknowledgeDelays.push_back(ms); }

  // Queue a reply byte arriving `delayMs` after now.
  void QueueReply(uint8_t byte, uint64_t delayMs = 0);
  void QueueReplies(std::initializer_list<uint8_t> bytes, uint64_t delayMs = 0);
  size_t QueuedBytes() const { return input_.size(); }

  // Script knobs.
  bool openFails = false;
  OpenError openError;  // what LastOpenError reports
  bool flushFails = false;
  bool discardFails = false;
  uint32_t drainMs = 0;  // a flush after a write takes this long, as a real line's drain does
  bool writeFails = false;
  bool readFails = false;
  int failRead = 0;  // when > 0, the read with this number (1 for the first) fails
  PortFault failure{"read: input/output error", true};  // what a scripted failure reports
  uint32_t roundTripMs = 0;
  bool learnsRoundTrip = false;
  // Plays the device: called after each successful write with the packet.
  std::function<void(FakePort&, const std::vector<uint8_t>&)> responder;
  // A responder for a device that takes every command at once: erase and page acknowledged with
  // success, the finish acknowledged.
  static void AnswerAsAHealthyLoader(FakePort& device, const std::vector<uint8_t>& packet);

  // What happened.
  std::vector<WrittenPacket> writes;
  std::vector<std::string> calls;  // "open 1", "flush", "discard", "write 4", "read", "close", "shutdown"
  std::vector<int> openedPorts;
  int reads = 0;
  int closes = 0;     // closes of an open port
  int shutdowns = 0;  // shutdowns of an open port
  std::vector<uint32_t> acknowledgeDelays;

 private:
  struct Pending {
    uint8_t byte;
    uint64_t at;
  };
  bool Fails();
  VirtualClock& clock_;
  PortFault fault_;
  bool open_ = false;
  bool undrained_ = false;  // written since the last flush
  std::deque<Pending> input_;
};

}  // namespace kv::test
