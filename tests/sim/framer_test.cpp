// Cutting the host's byte stream into packets: lead search, lengths, sums, unknown commands, gaps.
#include <gtest/gtest.h>

#include <vector>

#include "sim/framer.h"

namespace kv::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t Ms = 1'000'000;

struct Seen {
  FrameEvent event;
  Bytes packet;
  bool operator==(const Seen&) const = default;
};

// Feeds the bytes `stepNs` apart from `startNs`; gives every event other than None.
std::vector<Seen> Feed(Framer& framer, const Bytes& bytes, uint64_t startNs = 0, uint64_t stepNs = 1000) {
  std::vector<Seen> seen;
  uint64_t t = startNs;
  for (uint8_t b : bytes) {
    const FrameEvent e = framer.Feed(b, t);
    t += stepNs;
    if (e == FrameEvent::None) continue;
    const bool hasBytes = e == FrameEvent::Packet || e == FrameEvent::BadChecksum;
    seen.push_back({e, hasBytes ? Bytes(framer.packet().begin(), framer.packet().end()) : Bytes{}});
  }
  return seen;
}

Bytes PageWith(uint8_t fill) {
  Bytes p{0xA2, 0x11, 0x05, 0x02};
  p.resize(260, fill);
  uint8_t sum = 0;
  for (uint8_t b : p) sum = static_cast<uint8_t>(sum + b);
  p.push_back(static_cast<uint8_t>(-sum));
  return p;
}

TEST(SimFramer, CutsStreamsIntoPackets) {
  const Bytes erase{0xA2, 0x10, 0x3D, 0x11};
  const Bytes finish{0xA2, 0x13, 0x4B};
  struct Row {
    const char* name;
    Bytes stream;
    std::vector<Seen> expected;
  };
  const std::vector<Row> rows = {
      {"erase", erase, {{FrameEvent::Packet, erase}}},
      {"finish", finish, {{FrameEvent::Packet, finish}}},
      {"garbage before the lead is skipped",
       {0x00, 0x4E, 0x10, 0x13, 0xA2, 0x13, 0x4B},
       {{FrameEvent::Packet, finish}}},
      {"back to back",
       {0xA2, 0x13, 0x4B, 0xA2, 0x10, 0x3D, 0x11},
       {{FrameEvent::Packet, finish}, {FrameEvent::Packet, erase}}},
      {"bad sum, then a good packet",
       {0xA2, 0x10, 0x3D, 0x12, 0xA2, 0x13, 0x4B},
       {{FrameEvent::BadChecksum, {0xA2, 0x10, 0x3D, 0x12}}, {FrameEvent::Packet, finish}}},
      {"unknown command skips to the next lead",
       {0xA2, 0x12, 0xA3, 0x13, 0x4B, 0xA2, 0x13, 0x4B},
       {{FrameEvent::UnknownCommand, {}}, {FrameEvent::Packet, finish}}},
      {"a lead in the command's place starts over",
       {0xA2, 0xA2, 0x13, 0x4B},
       {{FrameEvent::UnknownCommand, {}}, {FrameEvent::Packet, finish}}},
      {"cut-off packet waits for its bytes", {0xA2, 0x10, 0x3D}, {}},
  };
  for (const Row& row : rows) {
    Framer framer;
    EXPECT_EQ(Feed(framer, row.stream), row.expected) << row.name;
  }
}

TEST(SimFramer, PageDataMayHoldLeadBytesAndTakesAllItsLength) {
  Framer framer;
  const Bytes page = PageWith(0xA2);
  ASSERT_EQ(page.size(), 261u);
  EXPECT_EQ(Feed(framer, page), (std::vector<Seen>{{FrameEvent::Packet, page}}));
  Bytes shortPage(page.begin(), page.end() - 1);
  EXPECT_EQ(Feed(framer, shortPage), std::vector<Seen>{});
}

TEST(SimFramer, APacketWhoseBytesStopFor50MsIsDropped) {
  struct Row {
    uint64_t gapNs;
    bool dropped;
  };
  for (const Row& row :
       {Row{49 * Ms, false}, Row{50 * Ms - 1, false}, Row{50 * Ms, true}, Row{2000 * Ms, true}}) {
    Framer framer;
    ASSERT_EQ(Feed(framer, {0xA2, 0x10}, 0, 1000), std::vector<Seen>{});
    const std::vector<Seen> tail = Feed(framer, {0x3D, 0x11}, 1000 + row.gapNs, 1000);
    if (row.dropped) {
      EXPECT_EQ(tail, (std::vector<Seen>{{FrameEvent::Gap, {}}})) << row.gapNs;
      EXPECT_EQ(framer.abandoned(), 2u);
    } else {
      EXPECT_EQ(tail, (std::vector<Seen>{{FrameEvent::Packet, {0xA2, 0x10, 0x3D, 0x11}}})) << row.gapNs;
    }
  }
}

TEST(SimFramer, TheByteAfterAGapMayStartTheNextPacket) {
  Framer framer;
  Feed(framer, {0xA2, 0x11, 0x00}, 0);
  const std::vector<Seen> seen = Feed(framer, {0xA2, 0x13, 0x4B}, 60 * Ms);
  EXPECT_EQ(seen, (std::vector<Seen>{{FrameEvent::Gap, {}}, {FrameEvent::Packet, {0xA2, 0x13, 0x4B}}}));
  EXPECT_EQ(framer.abandoned(), 3u);
}

TEST(SimFramer, SilenceBetweenPacketsIsNoGap) {
  Framer framer;
  Feed(framer, {0xA2, 0x13, 0x4B}, 0);
  EXPECT_EQ(Feed(framer, {0xA2, 0x13, 0x4B}, 5000 * Ms),
            (std::vector<Seen>{{FrameEvent::Packet, {0xA2, 0x13, 0x4B}}}));
}

}  // namespace
}  // namespace kv::sim
