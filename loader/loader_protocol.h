// The three commands of the device's resident loader (erase a sector, program a 256-byte page,
// finish), their packets, pauses and reply judging. Each command is one call: one packet written, the
// replies read within fixed limits. Nothing here retries or shows anything.
//
// Every reply is judged against the packet it answers: whatever the port has received is thrown away
// just before each packet is written, and each reply wait starts when the packet has left the wire
// (the port has drained it, and the packet's own line time has passed since the write began, for
// transports that do not pace bytes themselves). After a link failure the caller lets the line fall
// quiet (AwaitQuietLine) before sending the command again, so a late answer to the failed attempt is
// discarded instead of taken as the repeat's.
//
// A network line's round trip (Port::RoundTripMs) widens every reply window and the quiet wait: the
// device keeps its whole time, however far away it is. Each failure keeps what its attempt saw
// (LastFault): the port's own words, silence, a wrong byte, or, noticed by the quiet wait, a reply
// that came late.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/deadline.h"
#include "base/host.h"
#include "line/port.h"

namespace kv {

// The result of one loader command.
enum class LinkResult : int {
  Ok = 0,           // acknowledged and, for erase and program, reported done
  LinkFailure = 1,  // the port failed, a reply did not come in time, or a reply byte was not the one expected
  DeviceError = 2,  // acknowledged, and the loader reported that the step failed (0x16)
};

inline constexpr uint8_t PacketLead = 0xA2;
inline constexpr uint8_t CmdEraseSector = 0x10;
inline constexpr uint8_t CmdProgramPage = 0x11;
inline constexpr uint8_t CmdFinish = 0x13;
inline constexpr uint8_t ReplyAck = 0xE5;
inline constexpr uint8_t ReplyOk = 0x68;
inline constexpr uint8_t ReplyError = 0x16;

// A page's data, and the page field: 11 bits go to the device, so page numbers are taken modulo 2048.
inline constexpr size_t PageDataSize = 256;
inline constexpr uint16_t PageFieldMask = 0x7FF;
using PageData = std::span<const uint8_t, PageDataSize>;

inline constexpr size_t ErasePacketSize = 4;
inline constexpr size_t PagePacketSize = 261;
inline constexpr size_t FinishPacketSize = 3;
// The loader needs this long before each of an erase's two reply reads.
inline constexpr uint32_t EraseReplyPauseMs = 500;
// After a link failure the line must have been silent this long, and the pause before the repeat
// longer still, before the command is sent again; the quiet wait spends that pause reading. A late
// acknowledge may be followed by its status up to an erase's widest reply window (its 500 ms pause and
// one 100 ms read) later, so this and the 100 ms pause together cover that window: nothing the device
// sends for an attempt that was given up on is thrown away unseen by the repeat's discard. Paid on
// failures only.
inline constexpr uint32_t QuietLineMs = 500;
// A line that never falls quiet (a babbling device) is waited on no longer than this; the repeat's
// discard and its judging must then do.
inline constexpr uint32_t QuietWaitLimitMs = 3000;

// What the last attempt of a failed command saw.
enum class ReplyFault {
  None,           // the command succeeded
  PortFailed,     // the port failed (its words in CommandFault::port)
  Silence,        // the reply due did not come within its window
  WrongByte,      // a byte came, but not one that the reply due may be
  Late,           // the reply due came, but after its window
  DeviceRefused,  // the loader reported that the step failed (0x16)
};

// The reply a command was waiting for.
enum class ReplyStage {
  Acknowledge,  // 0xE5, counted from the moment the packet left
  Status,       // 0x68 or 0x16, counted from the acknowledge
};

struct CommandFault {
  ReplyFault fault = ReplyFault::None;
  ReplyStage stage = ReplyStage::Acknowledge;
  uint8_t byte = 0;             // WrongByte, Late: the byte that came
  uint32_t afterMs = 0;         // Late: how long after the packet (or the acknowledge) it came
  uint32_t windowMs = 0;        // the device's own time for the reply due
  uint32_t roundTripMs = 0;     // the network's round trip that widened the window
  PortFault port = {};          // PortFailed
  bool nothingYet = false;      // not one byte has come back since the link began
  uint64_t windowOpenedAt = 0;  // Silence, Late: the clock's reading when the reply's time began
};

// What the user can do when the device sent nothing at all.
inline constexpr std::string_view NoAnswerHint =
    "the device never answered: check that it is powered, that the cable is plugged in at both ends, and "
    "that its loader is waiting for a download (reset or power it up in loader mode)";

// What was seen, for the user: "0x3F where the acknowledge 0xE5 was due", "the acknowledge came 105 ms
// after the packet; the limit is 100 ms", "read: input/output error".
std::string DescribeCommandFault(const CommandFault& fault);
// What the user can do about it, where the fault points to a fix; empty where it does not.
std::string_view HintFor(const CommandFault& fault);

// Two's complement of the 8-bit sum: the covered bytes and it sum to 0 modulo 256.
uint8_t PacketChecksum(const uint8_t* bytes, size_t count);

// Pure packet builders, each filling a fixed buffer of exactly its packet's length.
void BuildErasePacket(uint8_t sectorCode, std::array<uint8_t, ErasePacketSize>& packet);
void BuildPagePacket(uint16_t page, PageData data, std::array<uint8_t, PagePacketSize>& packet);
void BuildFinishPacket(std::array<uint8_t, FinishPacketSize>& packet);

// How one command runs. Each command is one packet and its replies; the three differ only in these.
struct CommandSteps {
  bool turnsEventLoopFirst;  // events are processed and the line drained before the packet is built
  uint32_t replyPauseMs;     // the loader's pause before each of its replies
  bool statusFollows;        // a status (0x68 or 0x16) follows the acknowledge
};

class LoaderLink {
 public:
  LoaderLink(Port& port, Clock& clock, EventPump& pump) : port_(port), clock_(clock), pump_(pump) {}

  LinkResult EraseSector(uint8_t sectorCode);
  // Page taken modulo 2048. `data` is read only after the events have been processed, so the packet
  // carries the bytes as they are when it is built.
  LinkResult ProgramPage(uint16_t page, PageData data);
  LinkResult Finish();  // Ok or LinkFailure only

  // Reads and throws away what the loader still sends until nothing has come for QuietLineMs, then
  // `pauseMs` (the pause before a repeat, spent reading), then the round trip (at most
  // QuietWaitLimitMs and the round trip, or until the port fails). Called after a command failed on
  // the link: a reply to it that comes late is noted in LastFault.
  void AwaitQuietLine(uint32_t pauseMs = 0);

  // What the last command's attempt saw (fault None after a success).
  const CommandFault& LastFault() const { return fault_; }

 private:
  // One reply wait as it ended: the byte, when it came, and whether that was too late.
  struct ReplyRead {
    ReadResult read;      // the byte, none within the wait, or the port's failure
    uint64_t cameAt = 0;  // when the read that ended the wait returned
    bool late = false;    // a byte read after its window (widened by the round trip) had closed
  };

  // Everything a command does: the events and the drain where it has them, the packet that
  // `buildPacket` makes, the acknowledge and, where one follows, the status.
  template <typename BuildPacket>
  LinkResult RunCommand(const CommandSteps& steps, BuildPacket buildPacket);
  // Empties the input queue, writes the packet and drains it. Gives the moment the packet has left
  // the wire, or nothing when the port failed.
  std::optional<uint64_t> Send(std::span<const uint8_t> packet);
  // Waits for the reply `stage`, due within `pauseMs` and one read time-out counted from `from`, and
  // judges it.
  LinkResult TakeReply(ReplyStage stage, uint64_t from, uint32_t pauseMs);
  // The reply due within `window` (the device's own time: the pause and one read), read within that
  // window widened by the round trip.
  ReplyRead AwaitReply(ReplyStage stage, const Deadline& window, uint32_t pauseMs);
  // Waits out the loader's `pause` (reading meanwhile when `readDuringPause`, to know when the byte
  // came), then reads until a byte comes or `wait` has passed.
  ReplyRead ReadReply(const Deadline& pause, const Deadline& wait, bool readDuringPause);
  // What the reply makes of the command: Ok for the reply expected (the acknowledge, or the status
  // 0x68), DeviceError for the status 0x16, else LinkFailure; a failure notes its fault.
  LinkResult Judge(ReplyStage stage, const Deadline& window, const ReplyRead& reply);
  LinkResult PortFailed();
  LinkResult Missed(ReplyStage stage, const Deadline& window, const ReadResult& read);
  // A byte read `at`, after the window of the reply due had closed with nothing.
  void NoteLateByte(uint8_t byte, uint64_t at);

  Port& port_;
  Clock& clock_;
  EventPump& pump_;
  CommandFault fault_;
  uint32_t roundTripMs_ = 0;  // the round trip as the line knew it when the last command began
  bool anyByte_ = false;      // a byte has come back since the link began
};

}  // namespace kv
