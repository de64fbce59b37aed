// The loader commands on the scripted port and virtual clock: exact packets, reply judging, pauses,
// event processing, every reply judged against the packet it answers, and the words and fix each
// failure is given.
#include "loader/loader_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_port.h"
#include "tests/support/reader_host.h"

namespace kv::test {
namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Sum(const Bytes& bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0));
}

class LoaderTest : public ::testing::Test {
 protected:
  LoaderTest() {
    port.OpenPort(1);
    port.calls.clear();
    host.onPump = [this] { port.calls.emplace_back("pump"); };
  }

  VirtualClock clock;
  FakePort port{clock};
  // The page's data: erased flash unless a test writes into it.
  LinkResult Page(uint16_t page) { return link.ProgramPage(page, data); }

  std::array<uint8_t, PageDataSize> data = Erased();
  RecordingReaderHost host;
  LoaderLink link{port, clock, host};

 private:
  static std::array<uint8_t, PageDataSize> Erased() {
    std::array<uint8_t, PageDataSize> bytes;
    bytes.fill(0xFF);
    return bytes;
  }
};

// --- Packets -------------------------------------------------------------------------------------

TEST_F(LoaderTest, ErasePacketsCarryTheCodeAndChecksum) {
  const struct {
    uint8_t code;
    Bytes packet;
  } rows[] = {
      {0, {0xA2, 0x10, 0x00, 0x4E}},
      {8, {0xA2, 0x10, 0x08, 0x46}},
      {61, {0xA2, 0x10, 0x3D, 0x11}},
      {62, {0xA2, 0x10, 0x3E, 0x10}},
  };
  for (const auto& row : rows) {
    port.writes.clear();
    link.EraseSector(row.code);
    ASSERT_EQ(port.writes.size(), 1u) << int(row.code);
    EXPECT_EQ(port.writes[0].bytes, row.packet) << int(row.code);
  }
}

TEST_F(LoaderTest, FinishPacketIsFixed) {
  link.Finish();
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0].bytes, (Bytes{0xA2, 0x13, 0x4B}));
}

TEST_F(LoaderTest, PagePacketCarriesTheElevenBitPageFieldAndTheDataAsGiven) {
  const struct {
    uint16_t page;
    uint8_t low, high;
  } rows[] = {
      {0x000, 0x00, 0x00},  {0x0FF, 0xFF, 0x00}, {0x100, 0x00, 0x01},
      {0x7A0, 0xA0, 0x07},  {0x800, 0x00, 0x00},  // bit 11 is not sent
      {0xFFFF, 0xFF, 0x07},
  };
  for (uint32_t i = 0; i < PageDataSize; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  for (const auto& row : rows) {
    port.writes.clear();
    Page(row.page);
    ASSERT_EQ(port.writes.size(), 1u);
    Bytes expected(PagePacketSize);
    expected[0] = 0xA2;
    expected[1] = 0x11;
    expected[2] = row.low;
    expected[3] = row.high;
    std::copy(data.begin(), data.end(), expected.begin() + 4);
    expected.back() = PacketChecksum(expected.data(), PagePacketSize - 1);
    EXPECT_EQ(port.writes[0].bytes, expected) << std::hex << row.page;
  }
  // Over erased flash: the checksum the loader's documentation gives for page 0.
  data.fill(0xFF);
  port.writes.clear();
  Page(0x000);
  EXPECT_EQ(port.writes[0].bytes.back(), 0x4D);
}

TEST(PacketChecksum, MakesThePacketSumToZero) {
  const Bytes rows[] = {{}, {0x00}, {0x01}, {0xFF, 0x01}, {0xA2, 0x13}, {0x80, 0x80, 0x80}};
  for (Bytes row : rows) {
    row.push_back(PacketChecksum(row.data(), row.size()));
    EXPECT_EQ(Sum(row), 0);
  }
}

// --- Reply judging: every row of the failure table ----------------------------------------------

enum class Command { Erase, Page, Finish };

struct Reply {
  uint8_t byte;
  uint64_t delayMs;
};

struct FailureRow {
  const char* name;
  Command command;
  bool flushFails = false;
  bool writeFails = false;
  int failRead = 0;
  std::vector<Reply> replies;  // queued once the packet is written, delays from the write's start
  LinkResult expected;
  int reads;        // how many reads the command makes
  size_t leftOver;  // reply bytes still queued afterwards
};

using enum LinkResult;  // keeps each row of the table below on one line

// A page packet spends 25 ms on the line (261 bytes of 11 bits at 115200 baud): its acknowledge is
// due within 100 ms after that, 125 ms after the write began.
const FailureRow failureRows[] = {
    {"erase flush fails", Command::Erase, true, false, 0, {{0xE5, 0}, {0x68, 0}}, LinkFailure, 0, 0},
    {"erase write fails", Command::Erase, false, true, 0, {}, LinkFailure, 0, 0},
    {"erase ack read fails", Command::Erase, false, false, 1, {{0xE5, 0}, {0x68, 0}}, LinkFailure, 1, 2},
    {"erase no ack", Command::Erase, false, false, 0, {}, LinkFailure, 1, 0},
    {"erase ack too late", Command::Erase, false, false, 0, {{0xE5, 601}}, LinkFailure, 1, 1},
    {"erase ack is error", Command::Erase, false, false, 0, {{0x16, 0}, {0x68, 0}}, LinkFailure, 1, 1},
    {"erase ack is ok", Command::Erase, false, false, 0, {{0x68, 0}, {0x68, 0}}, LinkFailure, 1, 1},
    {"erase status read fails", Command::Erase, false, false, 2, {{0xE5, 0}, {0x68, 0}}, LinkFailure, 2, 1},
    {"erase no status", Command::Erase, false, false, 0, {{0xE5, 0}}, LinkFailure, 2, 0},
    {"erase status ok", Command::Erase, false, false, 0, {{0xE5, 0}, {0x68, 0}}, Ok, 2, 0},
    {"erase status error", Command::Erase, false, false, 0, {{0xE5, 0}, {0x16, 0}}, DeviceError, 2, 0},
    {"erase status other", Command::Erase, false, false, 0, {{0xE5, 0}, {0x00, 0}}, LinkFailure, 2, 0},
    {"erase status repeats ack", Command::Erase, false, false, 0, {{0xE5, 0}, {0xE5, 0}}, LinkFailure, 2, 0},
    {"erase slowest answer", Command::Erase, false, false, 0, {{0xE5, 600}, {0x68, 1200}}, Ok, 2, 0},

    {"page flush fails", Command::Page, true, false, 0, {{0xE5, 0}, {0x68, 0}}, LinkFailure, 0, 0},
    {"page write fails", Command::Page, false, true, 0, {}, LinkFailure, 0, 0},
    {"page ack read fails", Command::Page, false, false, 1, {{0xE5, 0}, {0x68, 0}}, LinkFailure, 1, 2},
    {"page no ack", Command::Page, false, false, 0, {}, LinkFailure, 1, 0},
    {"page ack is error", Command::Page, false, false, 0, {{0x16, 0}, {0x68, 0}}, LinkFailure, 1, 1},
    {"page status read fails", Command::Page, false, false, 2, {{0xE5, 0}, {0x68, 0}}, LinkFailure, 2, 1},
    {"page no status", Command::Page, false, false, 0, {{0xE5, 0}}, LinkFailure, 2, 0},
    {"page status ok", Command::Page, false, false, 0, {{0xE5, 0}, {0x68, 0}}, Ok, 2, 0},
    {"page status error", Command::Page, false, false, 0, {{0xE5, 0}, {0x16, 0}}, DeviceError, 2, 0},
    {"page status other", Command::Page, false, false, 0, {{0xE5, 0}, {0x00, 0}}, LinkFailure, 2, 0},
    {"page ack 80 ms after the line time",
     Command::Page,
     false,
     false,
     0,
     {{0xE5, 105}, {0x68, 106}},
     Ok,
     2,
     0},
    {"page slowest answer", Command::Page, false, false, 0, {{0xE5, 125}, {0x68, 225}}, Ok, 2, 0},
    {"page ack too late", Command::Page, false, false, 0, {{0xE5, 126}, {0x68, 126}}, LinkFailure, 1, 2},
    {"page status too late", Command::Page, false, false, 0, {{0xE5, 0}, {0x68, 126}}, LinkFailure, 2, 1},

    {"finish write fails", Command::Finish, false, true, 0, {}, LinkFailure, 0, 0},
    {"finish drain fails", Command::Finish, true, false, 0, {{0xE5, 0}}, LinkFailure, 0, 1},
    {"finish read fails", Command::Finish, false, false, 1, {{0xE5, 0}}, LinkFailure, 1, 1},
    {"finish no ack", Command::Finish, false, false, 0, {}, LinkFailure, 1, 0},
    {"finish answered ok", Command::Finish, false, false, 0, {{0x68, 0}}, LinkFailure, 1, 0},
    {"finish answered error", Command::Finish, false, false, 0, {{0x16, 0}}, LinkFailure, 1, 0},
    {"finish acknowledged", Command::Finish, false, false, 0, {{0xE5, 0}, {0x68, 0}}, Ok, 1, 1},
};

class FailureTable : public ::testing::TestWithParam<FailureRow> {};

TEST_P(FailureTable, JudgesTheReplies) {
  const FailureRow& row = GetParam();
  VirtualClock clock;
  FakePort port{clock};
  RecordingReaderHost host;
  LoaderLink link{port, clock, host};
  port.OpenPort(1);
  port.flushFails = row.flushFails;
  port.writeFails = row.writeFails;
  port.failRead = row.failRead;
  port.responder = [&](FakePort& p, const std::vector<uint8_t>&) {
    for (const Reply& r : row.replies) p.QueueReply(r.byte, r.delayMs);
  };

  LinkResult result = LinkResult::LinkFailure;
  uint64_t limitMs = 0;
  switch (row.command) {
    case Command::Erase:
      result = link.EraseSector(16);
      limitMs = 1200;
      break;
    case Command::Page:
      result = link.ProgramPage(0x200, std::array<uint8_t, PageDataSize>{});
      limitMs = LineTimeMs(PagePacketSize) + 200;
      break;
    case Command::Finish:
      result = link.Finish();
      limitMs = 100;
      break;
  }

  EXPECT_EQ(result, row.expected);
  EXPECT_EQ(port.reads, row.reads);
  EXPECT_EQ(port.QueuedBytes(), row.leftOver);
  if (row.flushFails && row.command != Command::Finish) {
    EXPECT_TRUE(port.writes.empty());  // the flush before the packet failed
  }
  if (!port.writes.empty()) {
    EXPECT_LE(clock.now - port.writes[0].at, limitMs);
  }
}

INSTANTIATE_TEST_SUITE_P(Loader, FailureTable, ::testing::ValuesIn(failureRows), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (c == ' ') c = '_';
  }
  return name;
});

// --- What a failed attempt says, and the fix --------------------------------------------------------

// Runs `command` as the tests below name it, on the page's data `data`.
LinkResult RunCommand(LoaderLink& link, Command command, PageData data) {
  switch (command) {
    case Command::Erase:
      return link.EraseSector(0);
    case Command::Page:
      return link.ProgramPage(0, data);
    case Command::Finish:
      return link.Finish();
  }
  return LinkResult::LinkFailure;
}

// The fix holds `word`; none is given where `word` is empty.
void ExpectHintHolds(std::string_view hint, std::string_view word) {
  if (word.empty()) {
    EXPECT_EQ(hint, "");
  } else {
    EXPECT_NE(hint.find(word), std::string_view::npos) << hint;
  }
}

// A failed command as the download leaves it: after a link failure the line is let fall quiet, and a
// reply that comes then is named late. Replies are timed from the write's start (a page's packet
// spends 25 ms on the line). `fresh`: nothing has come back on the link before the command.
struct FaultTextRow {
  Command command;
  std::vector<Reply> replies;
  bool fresh;
  bool lineGone;         // every read fails, as on an adapter pulled out
  const char* hintWord;  // a word the fix holds; "" where no fix can be told
  const char* text;
};

// clang-format off
const FaultTextRow faultTextRows[] = {
    {Command::Erase, {}, true, false, "powered",
     "no acknowledge within 600 ms after the packet"},
    {Command::Page, {}, false, false, "",
     "no acknowledge within 100 ms after the packet"},
    {Command::Page, {{0xE5, 0}}, false, false, "",
     "no status within 100 ms after the acknowledge"},
    {Command::Finish, {{0x3F, 0}}, false, false, "parity",
     "0x3F where the acknowledge 0xE5 was due"},
    {Command::Page, {{0xE5, 0}, {0x00, 0}}, false, false, "parity",
     "0x00 where the status 0x68 or 0x16 was due"},
    {Command::Page, {{0x3F, 130}}, false, false, "parity",  // after the window: no answer, late or not
     "0x3F where the acknowledge 0xE5 was due"},
    {Command::Erase, {{0xE5, 605}}, true, false, "latency",
     "the acknowledge came 605 ms after the packet; the limit is 600 ms"},
    {Command::Page, {{0xE5, 0}, {0x68, 130}}, false, false, "latency",
     "the status came 105 ms after the acknowledge; the limit is 100 ms"},
    {Command::Page, {{0xE5, 0}, {0x16, 0}}, false, false, "",
     "the device reported that the step failed (0x16)"},
    {Command::Page, {}, false, true, "cable",
     "read: input/output error"},
};
// clang-format on

TEST(CommandFaultText, SaysWhatTheLastAttemptSawAndTheFix) {
  for (const FaultTextRow& row : faultTextRows) {
    SCOPED_TRACE(row.text);
    VirtualClock clock;
    FakePort port{clock};
    RecordingReaderHost host;
    LoaderLink link{port, clock, host};
    port.OpenPort(1);
    if (!row.fresh) {
      port.responder = [](FakePort& p, const std::vector<uint8_t>&) { p.QueueReply(0xE5); };
      ASSERT_EQ(link.Finish(), LinkResult::Ok);
    }
    port.responder = [&row](FakePort& p, const std::vector<uint8_t>&) {
      for (const Reply& r : row.replies) p.QueueReply(r.byte, r.delayMs);
    };
    port.readFails = row.lineGone;
    if (RunCommand(link, row.command, std::array<uint8_t, PageDataSize>{}) == LinkResult::LinkFailure) {
      link.AwaitQuietLine();
    }
    EXPECT_EQ(DescribeCommandFault(link.LastFault()), row.text);
    ExpectHintHolds(HintFor(link.LastFault()), row.hintWord);
  }
}

TEST(CommandFaultText, APortFailureIsTheLinesOwnWordsWithItsOwnFixWhereItHasOne) {
  const struct {
    PortFault port;
    const char* hintWord;
  } rows[] = {
      {{"read: input/output error", true}, "cable"},
      {{"read: resource temporarily unavailable", false}, ""},
      {{"jig7:4001 closed the connection", true, "check that the server jig7:4001 is up"}, "jig7:4001"},
  };
  for (const auto& row : rows) {
    const CommandFault fault{.fault = ReplyFault::PortFailed, .port = row.port};
    EXPECT_EQ(DescribeCommandFault(fault), row.port.words);
    ExpectHintHolds(HintFor(fault), row.hintWord);
  }
}

// --- Order of calls, pauses, event processing ----------------------------------------------------

TEST_F(LoaderTest, EachCommandMakesItsCallsInOrderWithItsPauses) {
  const struct {
    Command command;
    std::vector<std::string> calls;
    std::vector<uint32_t> sleeps;
    int pumps;
  } rows[] = {
      {Command::Erase, {"pump", "flush", "discard", "write 4", "flush", "read", "read"}, {500, 500}, 1},
      // The page's acknowledge is not read before the packet can have crossed the line.
      {Command::Page, {"pump", "flush", "discard", "write 261", "flush", "read", "read"}, {25}, 1},
      {Command::Finish, {"discard", "write 3", "flush", "read"}, {}, 0},
  };
  port.responder = [](FakePort& p, const std::vector<uint8_t>& packet) {
    p.QueueReply(0xE5);
    if (packet[1] != CmdFinish) p.QueueReply(0x68);
  };
  for (const auto& row : rows) {
    port.calls.clear();
    clock.sleeps.clear();
    host.pumps = 0;
    EXPECT_EQ(RunCommand(link, row.command, data), LinkResult::Ok);
    EXPECT_EQ(port.calls, row.calls);
    EXPECT_EQ(clock.sleeps, row.sleeps);
    EXPECT_EQ(host.pumps, row.pumps);
  }
}

TEST_F(LoaderTest, EraseMakesOnlyOnePauseWhenTheAcknowledgeFails) {
  EXPECT_EQ(link.EraseSector(0), LinkResult::LinkFailure);
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{500}));
}

TEST_F(LoaderTest, EraseTakesAtLeastASecondHoweverFastTheLoader) {
  port.responder = [](FakePort& p, const std::vector<uint8_t>&) { p.QueueReplies({0xE5, 0x68}); };
  EXPECT_EQ(link.EraseSector(0), LinkResult::Ok);
  EXPECT_GE(clock.now, 1000u);
}

TEST_F(LoaderTest, PortShutDownWhileMessagesAreProcessedFailsTheCommand) {
  // The window closed inside the command's event processing: nothing may be sent after that.
  host.onPump = [this] { port.ShutdownPort(); };
  port.responder = [](FakePort& p, const std::vector<uint8_t>&) { p.QueueReplies({0xE5, 0x68}); };
  EXPECT_EQ(link.EraseSector(0), LinkResult::LinkFailure);
  EXPECT_EQ(Page(0), LinkResult::LinkFailure);
  EXPECT_EQ(link.Finish(), LinkResult::LinkFailure);
  EXPECT_TRUE(port.writes.empty());
}

TEST_F(LoaderTest, PacketReflectsDataChangedWhileMessagesAreProcessed) {
  host.onPump = [this] { data[0x10] = 0x00; };
  Page(0);
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0].bytes[4 + 0x10], 0x00);
}

// --- Timing and the input queue -------------------------------------------------------------------

TEST_F(LoaderTest, EraseRepliesQueuedDuringThePausesAreRead) {
  port.responder = [](FakePort& p, const std::vector<uint8_t>&) {
    p.QueueReply(0xE5, 0);
    p.QueueReply(0x68, 300);
  };
  EXPECT_EQ(link.EraseSector(62), LinkResult::Ok);
  EXPECT_EQ(clock.now, 1000u);  // both bytes were waiting when the pauses ended
}

TEST_F(LoaderTest, TheReplyWaitStartsWhenTheDrainEnds) {
  // A real line's drain returns when the last bit has gone; the loader's 100 ms count from there.
  port.drainMs = 60;
  port.responder = [](FakePort& p, const std::vector<uint8_t>&) { p.QueueReplies({0xE5, 0x68}, 160); };
  EXPECT_EQ(Page(0x200), LinkResult::Ok);
  port.responder = [](FakePort& p, const std::vector<uint8_t>&) { p.QueueReplies({0xE5, 0x68}, 161); };
  EXPECT_EQ(Page(0x200), LinkResult::LinkFailure);
}

TEST_F(LoaderTest, NoPacketIsSentWhenTheInputCannotBeEmptied) {
  port.discardFails = true;
  EXPECT_EQ(link.EraseSector(0), LinkResult::LinkFailure);
  EXPECT_EQ(Page(0), LinkResult::LinkFailure);
  EXPECT_EQ(link.Finish(), LinkResult::LinkFailure);
  EXPECT_TRUE(port.writes.empty());
}

TEST_F(LoaderTest, ALateReplyIsThrownAwayNeverJudgedAsTheNextCommands) {
  // The first page is answered E5 16 150 ms after its write: too late, a link failure. The device
  // answers everything after that E5 68, and that is what must be judged.
  bool first = true;
  port.responder = [&first](FakePort& p, const std::vector<uint8_t>&) {
    p.QueueReplies({0xE5, first ? uint8_t{0x16} : uint8_t{0x68}}, first ? 150 : 0);
    first = false;
  };
  EXPECT_EQ(Page(0x200), LinkResult::LinkFailure);
  link.AwaitQuietLine();
  EXPECT_EQ(port.QueuedBytes(), 0u);
  EXPECT_EQ(Page(0x200), LinkResult::Ok);

  // Bytes that arrived before a packet is written are thrown away without the quiet wait too.
  port.QueueReplies({0xE5, 0x16});
  EXPECT_EQ(Page(0x201), LinkResult::Ok);
  port.QueueReplies({0x00});  // left by a finish answered E5 00
  EXPECT_EQ(link.Finish(), LinkResult::Ok);
  EXPECT_EQ(port.QueuedBytes(), 1u);  // the finish's own trailing 68
}

TEST_F(LoaderTest, TheQuietWaitLastsUntilNothingHasComeForItsTime) {
  const struct {
    const char* name;
    std::vector<Reply> replies;  // from the start of the wait
    bool readFails;
    uint64_t endsAt;
  } rows[] = {
      {"silent line", {}, false, QuietLineMs},
      {"late pair", {{0xE5, 300}, {0x68, 350}}, false, 350 + QuietLineMs},
      {"port failed", {{0xE5, 0}}, true, 0},
  };
  for (const auto& row : rows) {
    VirtualClock rowClock;
    FakePort rowPort{rowClock};
    LoaderLink rowLink{rowPort, rowClock, host};
    rowPort.OpenPort(1);
    rowPort.readFails = row.readFails;
    for (const Reply& r : row.replies) rowPort.QueueReply(r.byte, r.delayMs);
    rowLink.AwaitQuietLine();
    EXPECT_EQ(rowClock.now, row.endsAt) << row.name;
    EXPECT_EQ(rowPort.QueuedBytes(), row.readFails ? row.replies.size() : 0u) << row.name;
  }
}

// --- A line with a network in it -----------------------------------------------------------------

TEST_F(LoaderTest, TheRoundTripWidensEachReplyWindowButNotTheDevicesOwnTime) {
  // A device 300 ms away: a reply at the very end of the device's limit passes; 1 ms over it fails.
  const struct {
    Command command;
    uint64_t ackAfterMs;  // after the write; the status follows 10 ms later
    LinkResult result;
  } rows[] = {
      {Command::Page, LineTimeMs(PagePacketSize) + 300 + 100, LinkResult::Ok},
      {Command::Page, LineTimeMs(PagePacketSize) + 300 + 101, LinkResult::LinkFailure},
      {Command::Erase, 300 + 600, LinkResult::Ok},
      {Command::Erase, 300 + 601, LinkResult::LinkFailure},
      {Command::Finish, 300 + 95, LinkResult::Ok},
  };
  port.roundTripMs = 300;
  for (const auto& row : rows) {
    port.responder = [&row](FakePort& p, const std::vector<uint8_t>& packet) {
      p.QueueReply(0xE5, row.ackAfterMs);
      if (packet[1] != CmdFinish) p.QueueReply(0x68, row.ackAfterMs + 10);
    };
    const LinkResult result = RunCommand(link, row.command, data);
    EXPECT_EQ(result, row.result) << row.ackAfterMs;
    if (result != LinkResult::Ok) {
      link.AwaitQuietLine();
      EXPECT_EQ(link.LastFault().fault, ReplyFault::Late);
      EXPECT_THAT(DescribeCommandFault(link.LastFault()),
                  testing::EndsWith("and the network's 300 ms round trip"));
    }
  }
}

TEST_F(LoaderTest, ALineThatLearnsItsRoundTripHearsEachAcknowledgeAsItComesAndKeepsThePauses) {
  port.learnsRoundTrip = true;
  port.responder = [](FakePort& p, const std::vector<uint8_t>& packet) {
    const bool erase = packet[1] == CmdEraseSector;
    p.QueueReply(0xE5, erase ? 250 : 90);
    p.QueueReply(0x68, erase ? 300 : 100);
  };
  EXPECT_EQ(link.EraseSector(0), LinkResult::Ok);
  EXPECT_GE(clock.now, 1000u);  // both of the erase's pauses, however early the replies came
  clock.now = 5000;
  EXPECT_EQ(Page(0), LinkResult::Ok);
  EXPECT_EQ(port.acknowledgeDelays, (std::vector<uint32_t>{250, 90 - LineTimeMs(PagePacketSize)}));
}

TEST_F(LoaderTest, TheQuietWaitGivesUpOnALineThatNeverFallsQuiet) {
  for (uint64_t at = 50; at < 10000; at += 50) port.QueueReply(0x00, at);
  link.AwaitQuietLine();
  EXPECT_GE(clock.now, QuietWaitLimitMs);
  EXPECT_LT(clock.now, QuietWaitLimitMs + ReadTimeoutMs);
}

}  // namespace
}  // namespace kv::test
