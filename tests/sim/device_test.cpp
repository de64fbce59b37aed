// The device's loader without a terminal: replies and their moments, flash effects, faults, hang-up,
// line pacing and what it reports to the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/device.h"

namespace kv::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t Ms = 1'000'000;
constexpr uint64_t T0 = 1000 * Ms;  // an arbitrary moment the packets arrive at

struct Sent {
  uint8_t byte;
  uint64_t atNs;
  bool operator==(const Sent&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Sent& s) {
  return os << std::hex << int(s.byte) << "@" << std::dec << s.atNs;
}

class Recorder : public TraceSink {
 public:
  void TracePacket(std::span<const uint8_t> bytes) override {
    std::string line = ">";
    char hex[4];
    for (uint8_t b : bytes) {
      std::snprintf(hex, sizeof hex, " %02X", b);
      line += hex;
    }
    lines.push_back(line);
  }
  void TraceNote(std::string_view note) override { lines.push_back("# " + std::string(note)); }
  std::vector<std::string> lines;
};

Bytes Sealed(Bytes bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  return bytes;
}
Bytes Erase(uint8_t code) {
  return Sealed({0xA2, 0x10, code});
}
Bytes Page(uint16_t page, uint8_t fill) {
  Bytes p{0xA2, 0x11, static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)};
  p.resize(260, fill);
  return Sealed(p);
}
const Bytes Finish{0xA2, 0x13, 0x4B};

// Feeds every byte at `atNs`, then takes all replies scheduled so far.
struct Outcome {
  std::vector<Sent> replies;
  ByteEffect effect;  // of the last byte
};
Outcome Send(Device& device, const Bytes& packet, uint64_t atNs = T0) {
  Outcome out;
  for (uint8_t b : packet) out.effect = device.OnByte(b, atNs);
  while (device.HasReply()) {
    out.replies.push_back({device.NextReply().byte, device.NextReply().atNs});
    device.PopReply();
  }
  return out;
}

DeviceOptions WithFaults(std::initializer_list<const char*> rules, uint32_t eraseMs = 100) {
  DeviceOptions options;
  options.eraseMs = eraseMs;
  for (const char* text : rules) {
    std::string why;
    options.faults.push_back(*ParseFaultRule(text, why));
  }
  return options;
}

TEST(SimDevice, AnswersEachCommandOnTime) {
  struct Row {
    const char* name;
    Bytes packet;
    std::vector<Sent> replies;
    bool dump;
  };
  const Row rows[] = {
      {"erase sector 0", Erase(0), {{0xE5, T0}, {0x68, T0 + 250 * Ms}}, false},
      {"erase sector 6", Erase(48), {{0xE5, T0}, {0x68, T0 + 250 * Ms}}, false},
      {"erase sector 7", Erase(56), {{0xE5, T0}, {0x68, T0 + 250 * Ms}}, false},
      {"erase sector 8", Erase(60), {{0xE5, T0}, {0x68, T0 + 250 * Ms}}, false},
      {"erase sector 10", Erase(62), {{0xE5, T0}, {0x68, T0 + 250 * Ms}}, false},
      {"erase code 63 names no sector", Erase(63), {{0xE5, T0}, {0x16, T0 + 250 * Ms}}, false},
      {"erase code 4 names no sector", Erase(4), {{0xE5, T0}, {0x16, T0 + 250 * Ms}}, false},
      {"program page", Page(0x7C0, 0x00), {{0xE5, T0}, {0x68, T0}}, false},
      {"finish", Finish, {{0xE5, T0}}, true},
  };
  for (const Row& row : rows) {
    DeviceOptions options;
    options.eraseMs = 250;
    Device device(options);
    const Outcome out = Send(device, row.packet);
    EXPECT_EQ(out.replies, row.replies) << row.name;
    EXPECT_EQ(out.effect.dumpFlash, row.dump) << row.name;
    EXPECT_FALSE(out.effect.hangUp) << row.name;
  }
}

TEST(SimDevice, ErasesAndProgramsTheFlashLikeTheRealCells) {
  Device device{DeviceOptions{}};
  EXPECT_EQ(Send(device, Page(0x205, 0x0F)).replies[1].byte, 0x68);
  EXPECT_EQ(device.flash().at(0x20500), 0x0F);
  // Programming 0xF0 over 0x0F needs rising bits: refused, and the cells end as the AND.
  EXPECT_EQ(Send(device, Page(0x205, 0xF0)).replies[1].byte, 0x16);
  EXPECT_EQ(device.flash().at(0x20500), 0x00);
  // The page field keeps 11 bits: page 0xFA05 is page 0x205.
  EXPECT_EQ(Send(device, Page(0xFA05, 0x00)).replies[1].byte, 0x68);
  EXPECT_EQ(Send(device, Erase(16)).replies[1].byte, 0x68);
  EXPECT_EQ(device.flash().at(0x20500), 0xFF);
  EXPECT_EQ(Send(device, Page(0x205, 0xF0)).replies[1].byte, 0x68);
  EXPECT_EQ(device.flash().at(0x205FF), 0xF0);
}

TEST(SimDevice, EachFaultKindShapesTheRepliesAndSparesTheFlash) {
  struct Row {
    const char* rule;
    Bytes packet;
    std::vector<Sent> replies;
    bool flashChanged;
  };
  const Row rows[] = {
      {"page=1:error", Page(1, 0x00), {{0xE5, T0}, {0x16, T0}}, false},
      {"page=1:noack", Page(1, 0x00), {}, false},
      {"page=1:nostatus", Page(1, 0x00), {{0xE5, T0}}, false},
      {"page=1:badack", Page(1, 0x00), {{0x00, T0}}, false},
      {"page=1:badstatus", Page(1, 0x00), {{0xE5, T0}, {0x00, T0}}, false},
      {"page=1:late=150", Page(1, 0x00), {{0xE5, T0 + 150 * Ms}, {0x68, T0 + 150 * Ms}}, true},
      {"erase=8:error", Erase(8), {{0xE5, T0}, {0x16, T0 + 100 * Ms}}, false},
      {"erase=8:noack", Erase(8), {}, false},
      {"erase=8:nostatus", Erase(8), {{0xE5, T0}}, false},
      {"erase=8:badack", Erase(8), {{0x00, T0}}, false},
      {"erase=8:badstatus", Erase(8), {{0xE5, T0}, {0x00, T0 + 100 * Ms}}, false},
      {"erase=8:late=700", Erase(8), {{0xE5, T0 + 700 * Ms}, {0x68, T0 + 800 * Ms}}, true},
      {"finish:error", Finish, {{0xE5, T0}, {0x16, T0}}, false},
      {"finish:noack", Finish, {}, false},
      {"finish:badack", Finish, {{0x00, T0}}, false},
      {"finish:late=120", Finish, {{0xE5, T0 + 120 * Ms}}, true},
      {"any:noack", Erase(8), {}, false},
      {"any:error", Page(1, 0x00), {{0xE5, T0}, {0x16, T0}}, false},
  };
  for (const Row& row : rows) {
    Device device(WithFaults({row.rule}));
    // Sector 1 starts out holding zeros and page 1 erased, so that both erase and program show up.
    std::fill(device.flash().data() + 0x10000, device.flash().data() + 0x20000, 0x00);
    const Outcome out = Send(device, row.packet);
    EXPECT_EQ(out.replies, row.replies) << row.rule;
    const bool isErase = row.packet[1] == 0x10;
    const bool isFinish = row.packet[1] == 0x13;
    if (isFinish) {
      EXPECT_EQ(out.effect.dumpFlash, row.flashChanged)
          << row.rule << ": a faulted finish is not carried out";
    } else {
      const bool changed = isErase ? device.flash().at(0x10000) == 0xFF : device.flash().at(0x100) == 0x00;
      EXPECT_EQ(changed, row.flashChanged) << row.rule;
    }
  }
}

TEST(SimDevice, AFaultWithTimesHitsThatManyMatchingPacketsOnly) {
  Device device(WithFaults({"page=0x205:error:2"}));
  const auto status = [&](const Bytes& packet) {
    const Outcome out = Send(device, packet);
    return out.replies.size() == 2 ? out.replies[1].byte : 0xEE;
  };
  EXPECT_EQ(status(Page(0x205, 0x00)), 0x16);
  EXPECT_EQ(status(Page(0x206, 0x00)), 0x68);
  EXPECT_EQ(status(Erase(16)), 0x68);
  EXPECT_EQ(device.flash().at(0x20500), 0xFF);
  EXPECT_EQ(status(Page(0x205, 0x00)), 0x16);
  EXPECT_EQ(device.flash().at(0x20500), 0xFF);
  EXPECT_EQ(status(Page(0x205, 0x00)), 0x68);
  EXPECT_EQ(device.flash().at(0x20500), 0x00);
}

TEST(SimDevice, DropsBadPacketsSilentlyAndKeepsServing) {
  Recorder trace;
  Device device(DeviceOptions{}, &trace);
  struct Row {
    const char* name;
    Bytes stream;
    std::string note;
  };
  const Row rows[] = {
      {"wrong sum", {0xA2, 0x10, 0x00, 0x4F}, "# dropped: bad checksum"},
      {"unknown command", {0xA2, 0x14, 0x4A}, "# dropped: unknown command 14"},
      {"garbage without a lead", {0x10, 0x00, 0x4E, 0xE5}, ""},
  };
  for (const Row& row : rows) {
    trace.lines.clear();
    EXPECT_TRUE(Send(device, row.stream).replies.empty()) << row.name;
    if (!row.note.empty()) {
      ASSERT_FALSE(trace.lines.empty()) << row.name;
      EXPECT_EQ(trace.lines.back(), row.note) << row.name;
    }
    EXPECT_EQ(Send(device, Finish).replies.size(), 1u) << row.name << ": not back in step";
  }
  EXPECT_EQ(device.packets(), 3u);
}

TEST(SimDevice, APacketInterruptedFor50MsIsForgotten) {
  Device device{DeviceOptions{}};
  const Bytes page = Page(0x10, 0x00);
  for (size_t i = 0; i < 100; ++i) device.OnByte(page[i], T0);
  for (size_t i = 100; i < page.size(); ++i) device.OnByte(page[i], T0 + 50 * Ms);
  EXPECT_FALSE(device.HasReply());
  EXPECT_EQ(device.flash().at(0x1000), 0xFF);
  EXPECT_EQ(Send(device, page, T0 + 51 * Ms).replies.size(), 2u);
}

TEST(SimDevice, HangsUpOnTheNthGoodPacketWithoutAnsweringIt) {
  DeviceOptions options;
  options.hangupAfter = 3;
  Device device(options);
  EXPECT_EQ(Send(device, Erase(0)).replies.size(), 2u);
  EXPECT_TRUE(Send(device, {0xA2, 0x13, 0x00}).replies.empty());  // bad sum: not counted
  EXPECT_FALSE(Send(device, Page(0, 0x00)).effect.hangUp);
  const Outcome third = Send(device, Erase(8));
  EXPECT_TRUE(third.effect.hangUp);
  EXPECT_TRUE(third.replies.empty());
  EXPECT_TRUE(device.hungUp());
  EXPECT_TRUE(Send(device, Finish).replies.empty());
}

TEST(SimDevice, LinePacingDelaysArrivalAndSpacesReplies) {
  DeviceOptions options;
  options.lineRate = true;
  options.eraseMs = 0;
  Device device(options);
  const uint64_t byte = LineByteNs;
  EXPECT_NEAR(static_cast<double>(byte), 1e9 * 11 / 115200, 1.0);

  // All 261 bytes written at once arrive one line time apart; the two replies follow each other.
  const Outcome page = Send(device, Page(0x20, 0x00), T0);
  const uint64_t pageIn = T0 + 261 * byte;
  EXPECT_EQ(page.replies, (std::vector<Sent>{{0xE5, pageIn + byte}, {0x68, pageIn + 2 * byte}}));

  // A packet written while the line is still busy queues behind the earlier bytes.
  const Outcome erase = Send(device, Erase(0), T0 + 1000);
  const uint64_t eraseIn = pageIn + 4 * byte;
  EXPECT_EQ(erase.replies, (std::vector<Sent>{{0xE5, eraseIn + byte}, {0x68, eraseIn + 2 * byte}}));

  // After a quiet spell the clock starts from the real arrival again.
  const Outcome finish = Send(device, Finish, T0 + 500 * Ms);
  EXPECT_EQ(finish.replies, (std::vector<Sent>{{0xE5, T0 + 500 * Ms + 4 * byte}}));
}

TEST(SimDevice, RepliesNeverOvertakeEarlierOnes) {
  // A late acknowledge holds back the replies to the packets after it, as one transmitter would.
  Device device(WithFaults({"page=1:late=150:1"}));
  Send(device, Page(1, 0x00), T0);
  const Outcome out = Send(device, Page(2, 0x00), T0 + 10 * Ms);
  // Both of page 1's replies were popped by the first Send; page 2's wait for the line to be free.
  EXPECT_EQ(out.replies, (std::vector<Sent>{{0xE5, T0 + 150 * Ms}, {0x68, T0 + 150 * Ms}}));
}

TEST(SimDevice, TracesEveryPacketItReceivesInOrder) {
  Recorder trace;
  Device device(WithFaults({"finish:noack:1"}), &trace);
  Send(device, Erase(61));
  Send(device, Finish);
  EXPECT_EQ(trace.lines, (std::vector<std::string>{"> A2 10 3D 11", "> A2 13 4B", "# fault: noack"}));
}

}  // namespace
}  // namespace kv::sim
