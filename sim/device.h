// The device's resident loader, fed one byte at a time with the moment it arrived, without any
// terminal: it frames packets, carries out erase / program page / finish on its flash, applies the
// configured faults, and schedules its reply bytes with the moments they are due on the line.
//
// Reply timing keeps inside the host's limits: a page is acknowledged and reported at once, finish is
// acknowledged at once, an erase is acknowledged at once and reported done after the erase time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "sim/flash.h"
#include "sim/framer.h"

namespace kv::sim {

inline constexpr uint8_t AckReply = 0xE5;
inline constexpr uint8_t DoneReply = 0x68;
inline constexpr uint8_t FailReply = 0x16;
inline constexpr uint8_t GarbledReply = 0x00;
// One byte on a 115200-baud 8E1 line: start, 8 data, parity and stop bits.
inline constexpr uint64_t LineByteNs = 11 * 1'000'000'000ull / 115200;
inline constexpr uint64_t NsPerMs = 1'000'000;

struct DeviceOptions {
  uint32_t eraseMs = 100;
  bool lineRate = false;                // pace input and replies as a 115200-baud 8E1 line
  std::optional<uint32_t> hangupAfter;  // the line goes dead on the N-th packet
  std::vector<FaultRule> faults;
};

// Where the device reports what it received and what it dropped (the --trace file, or a test).
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void TracePacket(std::span<const uint8_t> bytes) = 0;
  virtual void TraceNote(std::string_view note) = 0;
};

struct Reply {
  uint64_t atNs;  // when the byte is to be written to the line
  uint8_t byte;
};

// What the server must do after a byte has been taken.
struct ByteEffect {
  bool dumpFlash = false;  // a finish command was carried out
  bool hangUp = false;     // the line goes dead now
};

class Device {
 public:
  explicit Device(DeviceOptions options, TraceSink* trace = nullptr);

  // Takes one byte that the host wrote, seen at `realNs` (never going backwards).
  ByteEffect OnByte(uint8_t byte, uint64_t realNs);

  // The replies not yet sent, in order of their moments.
  bool HasReply() const { return replyCount_ > 0; }
  const Reply& NextReply() const { return replies_[replyHead_]; }
  void PopReply();

  Flash& flash() { return flash_; }
  uint32_t packets() const { return packets_; }  // whole packets with a good sum so far
  bool hungUp() const { return hungUp_; }

 private:
  // Moment a byte counts as arrived: with line pacing no earlier than one byte time after the one before.
  uint64_t ArrivalOf(uint64_t realNs);
  // The replies to one packet before they are scheduled.
  struct Answer {
    std::optional<uint8_t> ack = AckReply;
    std::optional<uint8_t> status;
    uint64_t statusDelayNs = 0;  // after the acknowledge's moment
    uint64_t lateNs = 0;         // added to every reply
  };

  ByteEffect Carry(std::span<const uint8_t> packet, uint64_t atNs);
  // The command's normal answer; with `carryOut` false the flash is left alone.
  Answer Execute(uint8_t command, uint16_t argument, std::span<const uint8_t> packet, bool carryOut);
  static void Distort(const FaultRule& fault, Answer& answer);
  void Schedule(uint8_t byte, uint64_t dueNs);
  void Note(std::string_view note);

  static constexpr size_t ReplyCapacity = 1024;

  DeviceOptions options_;
  TraceSink* trace_;
  FaultBook faults_;
  Framer framer_;
  Flash flash_;
  std::array<Reply, ReplyCapacity> replies_{};
  size_t replyHead_ = 0;
  size_t replyCount_ = 0;
  uint64_t lastArrivalNs_ = 0;
  uint64_t lineFreeNs_ = 0;  // when the device's transmitter is free again
  uint32_t packets_ = 0;
  bool hungUp_ = false;
};

}  // namespace kv::sim
