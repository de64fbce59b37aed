// The three commands of the device's resident loader (erase a sector, program a 256-byte page,
// finish), their packets, pauses and reply judging. Each command is one call: one packet written, the
// replies read within fixed limits. Nothing here retries, shows anything or empties the input queue.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/host.h"
#include "image/memory_image.h"
#include "link/port.h"

namespace kv {

enum LinkResult : int { Ok = 0, LinkFailure = 1, DeviceError = 2 };

inline constexpr uint8_t PacketLead = 0xA2;
inline constexpr uint8_t CmdEraseSector = 0x10;
inline constexpr uint8_t CmdProgramPage = 0x11;
inline constexpr uint8_t CmdFinish = 0x13;
inline constexpr uint8_t ReplyAck = 0xE5;
inline constexpr uint8_t ReplyOk = 0x68;
inline constexpr uint8_t ReplyError = 0x16;

inline constexpr size_t ErasePacketSize = 4;
inline constexpr size_t PagePacketSize = 261;
inline constexpr size_t FinishPacketSize = 3;
// The loader needs this long before each of an erase's two reply reads.
inline constexpr uint32_t EraseReplyPauseMs = 500;

// Two's complement of the 8-bit sum: the covered bytes and it sum to 0 modulo 256.
uint8_t PacketChecksum(const uint8_t* bytes, size_t count);

// Pure packet builders, each filling a fixed buffer of exactly its packet's length.
void BuildErasePacket(uint8_t sectorCode, std::array<uint8_t, ErasePacketSize>& packet);
void BuildPagePacket(const MemoryImage& image, uint16_t page, std::array<uint8_t, PagePacketSize>& packet);
void BuildFinishPacket(std::array<uint8_t, FinishPacketSize>& packet);

class LoaderLink {
 public:
  LoaderLink(Port& port, Clock& clock, const MemoryImage& image, EventPump& pump)
      : port_(port), clock_(clock), image_(image), pump_(pump) {}

  LinkResult EraseSector(uint8_t sectorCode);
  LinkResult ProgramPage(uint16_t page);  // page taken modulo 2048; reads the image, changes nothing
  LinkResult Finish();                    // Ok or LinkFailure only

 private:
  Port& port_;
  Clock& clock_;
  const MemoryImage& image_;
  EventPump& pump_;
};

}  // namespace kv
