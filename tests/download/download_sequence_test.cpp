// The download as a user sees it: status texts, progress, the closing message pair, the port and the
// busy flag, against a fake loader on a fake port in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "download/download.h"
#include "image/memory_image.h"
#include "loader/loader_protocol.h"
#include "tests/support/fake_port.h"
#include "tests/support/view_recorder.h"

namespace kv::test {
namespace {

// How the fake loader answers one packet: as a healthy loader, with a device error (E5 16; a finish
// gets a bare 16), not at all, or with a device error that comes 300 ms late, outside every limit;
// done, but 5 ms after each window; or by the line going away (an adapter pulled out) before the
// reply; or done, with the acknowledge 550 ms after its window and the status 500 ms after that, as a
// slow erase that was given up on answers.
enum class Answer { Done, Refused, Silent, LateRefused, JustLate, LineGone, LongAfter };

// Plays the device's loader: answers each packet at once, unless a test scripted other answers for
// that command. Commands are named "erase 16", "page 512" and "finish".
class FakeLoader {
 public:
  explicit FakeLoader(FakePort& port) {
    port.responder = [this](FakePort& p, const std::vector<uint8_t>& packet) { Receive(p, packet); };
  }

  // The next answers to `command`, in order; once they are used up the command succeeds.
  void Script(const std::string& command, std::initializer_list<Answer> answers) {
    scripted_[command].insert(scripted_[command].end(), answers);
  }
  void FailForGood(const std::string& command, Answer answer) {
    for (int i = 0; i < MaxAttempts; ++i) Script(command, {answer});
  }
  int TimesSent(const std::string& command) const {
    return static_cast<int>(std::count(received.begin(), received.end(), command));
  }

  std::vector<std::string> received;                    // every packet, repeats included
  std::map<uint16_t, std::vector<uint8_t>> programmed;  // page -> data of its last accepted packet

 private:
  void Receive(FakePort& port, const std::vector<uint8_t>& packet) {
    std::string command = "finish";
    if (packet[1] == CmdEraseSector) command = "erase " + std::to_string(packet[2]);
    if (packet[1] == CmdProgramPage) command = "page " + std::to_string(packet[2] | packet[3] << 8);
    received.push_back(command);

    Answer answer = Answer::Done;
    if (auto& queue = scripted_[command]; !queue.empty()) {
      answer = queue.front();
      queue.pop_front();
    }
    if (answer == Answer::Silent) return;
    if (answer == Answer::LineGone) {
      port.readFails = true;
      return;
    }
    // Each window counts from the moment the packet has crossed the line.
    const uint64_t window = packet[1] == CmdEraseSector ? EraseReplyPauseMs + ReadTimeoutMs : ReadTimeoutMs;
    if (answer == Answer::JustLate)
      return port.QueueReplies({ReplyAck, ReplyOk}, LineTimeMs(packet.size()) + window + 5);
    if (answer == Answer::LongAfter) {
      port.QueueReply(ReplyAck, LineTimeMs(packet.size()) + window + 550);
      return port.QueueReply(ReplyOk, LineTimeMs(packet.size()) + window + 550 + EraseReplyPauseMs);
    }
    const uint64_t delayMs = answer == Answer::LateRefused ? 300 : 0;
    if (packet[1] == CmdFinish)
      return port.QueueReply(answer == Answer::Done ? ReplyAck : ReplyError, delayMs);
    port.QueueReplies({ReplyAck, answer == Answer::Done ? ReplyOk : ReplyError}, delayMs);
    if (packet[1] == CmdProgramPage && answer == Answer::Done) {
      programmed[static_cast<uint16_t>(packet[2] | packet[3] << 8)].assign(packet.begin() + 4,
                                                                           packet.end() - 1);
    }
  }

  std::map<std::string, std::deque<Answer>> scripted_;
};

std::vector<std::string> Commands(std::initializer_list<std::string> commands) {
  return commands;
}

// One program's worth of download state, wired to a fake loader.
struct Rig {
  Rig() = default;
  Rig(const Rig&) = delete;

  // Puts one byte of file data into each page (so the pages differ from erased flash).
  void LoadPages(std::initializer_list<uint16_t> pages) {
    for (uint16_t page : pages)
      image.StoreByte(page >> 8, (page & 0xFF) * PageSize + 7, static_cast<uint8_t>(page));
  }

  // Notes the port and the flag whenever the closing box or the final status text appears.
  void WatchEnding() {
    view.onLog = [this](const std::string& line) {
      if (line.starts_with("message: ")) atMessage = {port.IsOpen(), busy.value};
      if (line.starts_with("status: ")) atStatus = {port.IsOpen(), busy.value};
    };
  }

  // The closing pair is the last thing shown; the port is closed and the flag cleared only after it.
  void ExpectEnding(std::string_view message, std::string_view status, bool portWasOpen = true) {
    const auto shown = view.Shown();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2], "message: " + std::string(message));
    EXPECT_EQ(shown.back(), "status: " + std::string(status));
    EXPECT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(atMessage, (std::pair{portWasOpen, 1}));
    EXPECT_EQ(atStatus, (std::pair{portWasOpen, 1}));
    EXPECT_EQ(port.calls.back(), "close");
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(busy.value, 0);
  }

  // The pauses before repeats that only sleep: those after a device error. After a link failure the
  // pause is spent reading the line as it falls quiet (timed in OnlyALinkFailureIsFollowedByTheQuietWait).
  long BlindPauses() const { return std::count(clock.sleeps.begin(), clock.sleeps.end(), RetryPauseMs); }

  DownloadOutcome Send() { return RunDownload(context); }

  VirtualClock clock;
  FakePort port{clock};
  FakeLoader loader{port};
  ViewRecorder view;
  MemoryImage image;
  std::string fileName = "APP";
  SystemTime fileTime{2024, 5, 0, 17, 13, 45, 9, 0};
  int portNumber = 2;
  BusyFlag busy;
  FailureCause cause;
  DownloadContext context{image, fileName, fileTime, portNumber, busy, port, clock, view, &cause};
  std::pair<bool, int> atMessage{}, atStatus{};
};

class DownloadTest : public ::testing::Test, protected Rig {};

TEST_F(DownloadTest, MultiSectorInSectorsTwoAndTenWalksEverySectorOfItsPlan) {
  LoadPages({513, 767, 1984, 2047});  // page 512 is forced: 5 pages in all
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);

  EXPECT_EQ(
      view.Shown(),
      Commands({"status: Erasing sector #2...", "status: Erasing sector #3...",
                "status: Erasing sector #4...", "status: Erasing sector #5...",
                "status: Erasing sector #10...", "status: Programming sector #2", "max: 5",
                "progress: 1 20 %", "progress: 2 40 %", "progress: 3 60 %", "status: Programming sector #3",
                "status: Programming sector #4", "status: Programming sector #5",
                "status: Programming sector #10", "progress: 4 80 %", "progress: 5 100 %",
                "message: File successfully loaded", "status: File successfully loaded..."}));
  EXPECT_EQ(loader.received, Commands({"erase 16", "erase 24", "erase 32", "erase 40", "erase 62", "page 512",
                                       "page 513", "page 767", "page 1984", "page 2047"}));
  EXPECT_EQ(port.openedPorts, std::vector<int>{2});
}

TEST_F(DownloadTest, SectorZeroCountsTheForcedPageAndFinishesAfterTheLastPage) {
  LoadPages({1, 2, 3});
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);

  EXPECT_EQ(view.Lines("max: "), Commands({"4"}));
  EXPECT_EQ(view.Progress(), Commands({"1 25 %", "2 50 %", "3 75 %", "4 100 %"}));
  EXPECT_EQ(loader.received, Commands({"erase 0", "page 0", "page 1", "page 2", "page 3", "finish"}));
}

TEST(DownloadKindsTest, OnlySectorZeroSendsTheFinishCommand) {
  struct Case {
    std::initializer_list<uint16_t> pages;
    std::string lastCommand;
  };
  const Case cases[] = {
      {{256}, "page 256"}, {{513, 1984}, "page 1984"}, {{1960}, "page 1960"}, {{7}, "finish"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastCommand);
    Rig rig;
    rig.LoadPages(c.pages);
    EXPECT_EQ(rig.Send(), DownloadOutcome::Downloaded);
    EXPECT_EQ(rig.loader.received.back(), c.lastCommand);
    EXPECT_EQ(rig.loader.TimesSent("finish"), c.lastCommand == "finish" ? 1 : 0);
    EXPECT_EQ(rig.view.Messages(), Commands({"File successfully loaded"}));
  }
}

TEST_F(DownloadTest, TheSealedBlockTravelsInTheFirstPageAndBalancesTheSector) {
  for (uint8_t i = 0; i < 38; ++i) image.StoreByte(1, i, i);  // file data before the block survives
  LoadPages({300});
  ASSERT_EQ(Send(), DownloadOutcome::Downloaded);

  const std::vector<uint8_t>& first = loader.programmed.at(256);
  for (uint8_t i = 0; i < 38; ++i) EXPECT_EQ(first[i], i);
  EXPECT_EQ(first[38], 0xAA);
  EXPECT_EQ(first[39], 0x55);
  // What the device now holds in sector 1 (erased bytes elsewhere) sums to zero.
  unsigned sum = 0;
  for (uint16_t page = 256; page < 512; ++page) {
    auto found = loader.programmed.find(page);
    for (unsigned i = 0; i < PageSize; ++i) sum += found == loader.programmed.end() ? 0xFF : found->second[i];
  }
  EXPECT_EQ(sum % 256, 0u);
}

TEST_F(DownloadTest, SendingTheSameImageAgainSendsTheSamePackets) {
  LoadPages({1953, 1970});
  ASSERT_EQ(Send(), DownloadOutcome::Downloaded);
  const std::vector<WrittenPacket> first = port.writes;
  port.writes.clear();
  ASSERT_EQ(Send(), DownloadOutcome::Downloaded);
  ASSERT_EQ(port.writes.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(port.writes[i].bytes, first[i].bytes) << i;
  EXPECT_EQ(view.Lines("max: "), Commands({"3", "3"}));
}

// Sector0 image with pages 0 and 1: the commands are "erase 0", "page 0", "page 1", "finish".
struct FailureCase {
  std::string command;
  std::vector<Answer> answers;  // the command's six answers
  DownloadOutcome outcome;
  std::string message;
  std::string status;
  std::vector<std::string> progress;  // pages shown as done before the failure
};

TEST_F(DownloadTest, ACommandFailingSixTimesEndsWithTheOutcomeOfItsLastAttempt) {
  using A = Answer;
  const std::vector<FailureCase> cases = {
      {"erase 0",
       {A::Refused, A::Refused, A::Refused, A::Refused, A::Refused, A::Refused},
       DownloadOutcome::EraseProgrammingError,
       "Progr. error during memory erasing",
       "Progr. error during memory erasing",
       {}},
      {"erase 0",
       {A::Silent, A::Silent, A::Silent, A::Silent, A::Silent, A::Silent},
       DownloadOutcome::EraseCommunicationError,
       "Communication error during memory erasing",
       "Comm. error during memory erasing",
       {}},
      {"erase 0",
       {A::Refused, A::Refused, A::Refused, A::Refused, A::Refused, A::Silent},
       DownloadOutcome::EraseCommunicationError,
       "Communication error during memory erasing",
       "Comm. error during memory erasing",
       {}},
      {"erase 0",
       {A::Silent, A::Silent, A::Silent, A::Silent, A::Silent, A::Refused},
       DownloadOutcome::EraseProgrammingError,
       "Progr. error during memory erasing",
       "Progr. error during memory erasing",
       {}},
      {"page 1",
       {A::Refused, A::Refused, A::Refused, A::Refused, A::Refused, A::Refused},
       DownloadOutcome::FlashProgrammingError,
       "Flash programming error",
       "File programming error",
       {"1 50 %"}},
      {"page 1",
       {A::Silent, A::Silent, A::Silent, A::Silent, A::Silent, A::Refused},
       DownloadOutcome::FlashProgrammingError,
       "Flash programming error",
       "File programming error",
       {"1 50 %"}},
      {"page 0",
       {A::Refused, A::Refused, A::Refused, A::Refused, A::Refused, A::Silent},
       DownloadOutcome::SerialCommunicationError,
       "Serial communication error",
       "Serial communication error",
       {}},
      {"finish",
       {A::Silent, A::Silent, A::Silent, A::Silent, A::Silent, A::Silent},
       DownloadOutcome::SerialCommunicationError,
       "Serial communication error",
       "Serial communication error",
       {"1 50 %", "2 100 %"}},
      {"finish",
       {A::Refused, A::Refused, A::Refused, A::Refused, A::Refused, A::Refused},
       DownloadOutcome::SerialCommunicationError,
       "Serial communication error",
       "Serial communication error",
       {"1 50 %", "2 100 %"}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.command + " -> " + c.message);
    Rig rig;
    rig.LoadPages({0, 1});
    rig.WatchEnding();
    for (Answer a : c.answers) rig.loader.Script(c.command, {a});

    EXPECT_EQ(rig.Send(), c.outcome);
    rig.ExpectEnding(c.message, c.status);
    EXPECT_EQ(rig.view.Progress(), c.progress);
    EXPECT_EQ(rig.loader.TimesSent(c.command), MaxAttempts);
    EXPECT_EQ(rig.loader.received.back(), c.command);  // nothing is sent after a command fails for good
    // One before each repeat after a device error, none after the last attempt. A refused finish is a
    // wrong byte, a link failure.
    const long refusals = std::count(c.answers.begin(), c.answers.end() - 1, A::Refused);
    EXPECT_EQ(rig.BlindPauses(), c.command == "finish" ? 0 : refusals);
  }
}

TEST(DownloadRetryTest, ACommandThatSucceedsOnItsSixthAttemptGoesOnWithoutAMessage) {
  for (const std::string command : {"erase 0", "page 0", "page 1", "finish"}) {
    SCOPED_TRACE(command);
    Rig rig;
    rig.LoadPages({1});
    rig.loader.Script(command,
                      {Answer::Refused, Answer::Silent, Answer::Refused, Answer::Silent, Answer::Refused});

    EXPECT_EQ(rig.Send(), DownloadOutcome::Downloaded);
    EXPECT_EQ(rig.view.Messages(), Commands({"File successfully loaded"}));
    EXPECT_EQ(rig.view.Statuses().back(), "File successfully loaded...");
    EXPECT_EQ(rig.loader.TimesSent(command), MaxAttempts);
    EXPECT_EQ(rig.BlindPauses(), command == "finish" ? 0 : 3);  // one before each repeat after a device error
    std::vector<std::string> distinct = rig.loader.received;
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_EQ(distinct, Commands({"erase 0", "page 0", "page 1", "finish"}));
  }
}

TEST(DownloadRetryTest, ALateAnswerToAFailedAttemptIsNeverTakenForTheRepeats) {
  // Each command's first attempt is answered too late to count: a link failure. The answer lands while
  // the line is let fall quiet before the repeat, which is then judged on its own answer. An erase
  // acknowledged 550 ms after its window has its status still on the way during the pause before the
  // repeat: the wait reads through that pause, so neither byte meets the repeat.
  const struct {
    std::string command;
    Answer late;
  } rows[] = {
      {"erase 8", Answer::LateRefused},
      {"page 257", Answer::LateRefused},
      {"finish", Answer::LateRefused},
      {"erase 8", Answer::LongAfter},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    Rig rig;
    rig.LoadPages({row.command == "finish" ? uint16_t{3} : uint16_t{257}});
    rig.loader.Script(row.command, {row.late});
    EXPECT_EQ(rig.Send(), DownloadOutcome::Downloaded);
    EXPECT_EQ(rig.loader.TimesSent(row.command), 2);
  }
}

TEST(DownloadRetryTest, OnlyALinkFailureIsFollowedByTheQuietWait) {
  // A refusal was read in time: nothing more is on its way, and the repeat follows the pause at once.
  for (const Answer answer : {Answer::Refused, Answer::Silent}) {
    Rig rig;
    rig.LoadPages({257});
    rig.loader.Script("page 257", {answer});
    ASSERT_EQ(rig.Send(), DownloadOutcome::Downloaded);
    std::vector<uint64_t> sent;
    for (const WrittenPacket& packet : rig.port.writes) {
      if (packet.bytes[1] == CmdProgramPage && packet.bytes[2] == 1) sent.push_back(packet.at);
    }
    ASSERT_EQ(sent.size(), 2u);
    // The failed attempt's reply wait (the line time and 100 ms, or 100 ms more for the status), the
    // retry pause, and for the silent one the quiet time.
    const uint64_t failedAfter = LineTimeMs(PagePacketSize) + ReadTimeoutMs;
    EXPECT_EQ(sent[1] - sent[0], answer == Answer::Refused ? LineTimeMs(PagePacketSize) + RetryPauseMs
                                                           : failedAfter + RetryPauseMs + QuietLineMs);
  }
}

TEST(DownloadCauseTest, EachFailureNamesItsCommandAndWhatItsLastAttemptSaw) {
  // Page 257 makes a Sector1 image (erase of sector #1, code 8); page 3 a Sector0 one, which finishes.
  // The loader words each fault and its fix; the download names the command and picks the attempt.
  struct Row {
    std::string command;
    Answer answer;
    std::string prefix;
    CommandFault lastAttempt;
    int attempts;
  };
  // What the last attempt saw. The erase is the first command: then nothing has ever come back.
  const CommandFault neverAnswered{.fault = ReplyFault::Silence, .windowMs = 600, .nothingYet = true};
  const CommandFault silent{.fault = ReplyFault::Silence, .windowMs = 100};
  // Told apart from silence only by the wait after the last attempt.
  const CommandFault late{.fault = ReplyFault::Late, .byte = ReplyAck, .afterMs = 105, .windowMs = 100};
  const CommandFault refused{
      .fault = ReplyFault::DeviceRefused, .stage = ReplyStage::Status, .byte = ReplyError};
  const CommandFault lineGone{.fault = ReplyFault::PortFailed, .port = {"read: input/output error", true}};
  const Row rows[] = {
      {"erase 8", Answer::Silent, "erase of sector #1: ", neverAnswered, 6},
      {"page 257", Answer::Silent, "page 0x101: ", silent, 6},
      {"finish", Answer::Silent, "finish: ", silent, 6},
      {"page 257", Answer::JustLate, "page 0x101: ", late, 6},
      {"erase 8", Answer::Refused, "erase of sector #1: ", refused, 6},
      {"page 257", Answer::Refused, "page 0x101: ", refused, 6},
      {"page 257", Answer::LineGone, "page 0x101: ", lineGone, 1},  // a line gone is not tried again
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command + ": " + DescribeCommandFault(row.lastAttempt));
    Rig rig;
    rig.LoadPages({row.command == "finish" ? uint16_t{3} : uint16_t{257}});
    rig.loader.FailForGood(row.command, row.answer);
    EXPECT_NE(rig.Send(), DownloadOutcome::Downloaded);
    EXPECT_EQ(rig.cause.text, row.prefix + DescribeCommandFault(row.lastAttempt));
    EXPECT_EQ(rig.cause.hint, HintFor(row.lastAttempt));
    EXPECT_EQ(rig.loader.TimesSent(row.command), row.attempts);
  }
}

TEST(DownloadCauseTest, ASuccessLeavesNoCauseAndAFailedOpenGivesItsOwn) {
  Rig rig;
  rig.LoadPages({257});
  rig.cause.text = "left from before";
  EXPECT_EQ(rig.Send(), DownloadOutcome::Downloaded);
  EXPECT_EQ(rig.cause.Line(), "");
  rig.port.openFails = true;
  rig.port.openError = {OpenFailure::NotFound, "/dev/ttyUSB9", "no such file or directory"};
  EXPECT_EQ(rig.Send(), DownloadOutcome::SerialCommunicationError);
  EXPECT_EQ(rig.cause.Line(), DescribeOpenError(rig.port.openError));

  // A front end that does not ask for the cause gets the same ending.
  rig.port.openFails = false;
  rig.loader.FailForGood("page 257", Answer::Refused);
  rig.context.cause = nullptr;
  EXPECT_EQ(rig.Send(), DownloadOutcome::FlashProgrammingError);
}

TEST(DownloadEndingTest, EndingsBeforeTheProgramPhaseLeaveBarAndLabelAloneAndSendNoPage) {
  struct Case {
    const char* name;
    std::initializer_list<uint16_t> pages;
    bool openFails;
    bool eraseRefused;
    std::string message;
  };
  const Case cases[] = {
      {"nothing loaded", {}, false, false, "Empty HEX file"},
      {"sectors 0 and 1", {5, 256}, false, false, "Unknown file"},
      {"sector 7", {1919}, false, false, "Unknown file"},
      {"sector 10 alone", {1984}, false, false, "Unknown file"},
      {"port will not open", {5}, true, false, "Serial communication error"},
      {"port will not open, empty image", {}, true, false, "Serial communication error"},
      {"erase refused", {5}, false, true, "Progr. error during memory erasing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.LoadPages(c.pages);
    rig.port.openFails = c.openFails;
    if (c.eraseRefused) rig.loader.FailForGood("erase 0", Answer::Refused);
    rig.WatchEnding();

    rig.Send();
    rig.ExpectEnding(c.message, c.message, !c.openFails);
    EXPECT_TRUE(rig.view.Lines("max: ").empty());
    EXPECT_TRUE(rig.view.Progress().empty());
    EXPECT_EQ(rig.loader.TimesSent("page 0"), 0);
    EXPECT_EQ(rig.port.calls.front(), "open 2");  // the port is opened before the image is looked at
    // One turn of the event loop once the port is open, none when it would not open.
    EXPECT_EQ(rig.view.log.front(), c.openFails ? "message: " + c.message : "pump");
    // An image that is not sent gets no block and no forced page.
    if (!c.eraseRefused && !c.openFails) {
      EXPECT_FALSE(rig.image.IsPageUsed(0));
      EXPECT_EQ(rig.image.ImageByte(38), 0xFF);
    }
  }
}

TEST_F(DownloadTest, ASuccessfulDownloadShowsItsPairBeforeThePortIsClosedAndTheFlagCleared) {
  WatchEnding();
  LoadPages({0x7A5});
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);
  ExpectEnding("File successfully loaded", "File successfully loaded...");
  EXPECT_EQ(loader.received, Commands({"erase 61", "page 1952", "page 1957"}));
}

TEST_F(DownloadTest, APortThatWillNotOpenLeavesTheNextSendToRunNormally) {
  LoadPages({300});
  port.openFails = true;
  EXPECT_EQ(Send(), DownloadOutcome::SerialCommunicationError);
  EXPECT_EQ(busy.value, 0);
  EXPECT_TRUE(loader.received.empty());

  port.openFails = false;
  view.log.clear();
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);
  EXPECT_EQ(view.Messages(), Commands({"File successfully loaded"}));
  EXPECT_EQ(loader.received, Commands({"erase 8", "page 256", "page 300"}));
}

TEST_F(DownloadTest, ASendWhileBusyShowsOnlyItsMessage) {
  busy.value = 1;
  LoadPages({5});
  EXPECT_EQ(Send(), DownloadOutcome::Busy);
  EXPECT_EQ(view.log, Commands({"message: Program busy - sending data"}));
  EXPECT_TRUE(port.calls.empty());
  EXPECT_EQ(busy.value, 1);
  EXPECT_FALSE(image.IsPageUsed(0));  // not classified, forced or sealed either
  EXPECT_EQ(image.ImageByte(38), 0xFF);
}

TEST_F(DownloadTest, ASecondSendFromInsideTheDownloadIsRefusedAndChangesNothing) {
  LoadPages({1, 2});
  int pumps = 0;
  std::vector<DownloadOutcome> nested;
  view.onPump = [&] {
    if (++pumps % 2 == 1) nested.push_back(Send());  // right after the open, then in commands and progress
    portNumber = 4;                                  // a port change takes effect with the next download
  };
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);

  EXPECT_EQ(nested, std::vector<DownloadOutcome>(nested.size(), DownloadOutcome::Busy));
  EXPECT_GE(nested.size(), 3u);
  EXPECT_EQ(loader.received, Commands({"erase 0", "page 0", "page 1", "page 2", "finish"}));
  EXPECT_EQ(view.Progress(), Commands({"1 33 %", "2 66 %", "3 100 %"}));
  EXPECT_EQ(std::count(view.log.begin(), view.log.end(), "message: Program busy - sending data"),
            static_cast<long>(nested.size()));
  EXPECT_EQ(view.Statuses().back(), "File successfully loaded...");
  EXPECT_EQ(port.openedPorts, std::vector<int>{2});

  view.onPump = nullptr;
  EXPECT_EQ(Send(), DownloadOutcome::Downloaded);
  EXPECT_EQ(port.openedPorts, (std::vector<int>{2, 4}));
}

TEST_F(DownloadTest, ClosingTheWindowMidDownloadEndsItNormallyWithNothingLeftOpen) {
  // The window closes at the first turn of the event loop after `sentBefore` packets have gone out.
  struct Case {
    std::initializer_list<uint16_t> pages;
    size_t sentBefore;
    DownloadOutcome outcome;
    std::string message;
  };
  const Case cases[] = {
      {{256, 257}, 0, DownloadOutcome::EraseCommunicationError, "Communication error during memory erasing"},
      {{256, 257}, 1, DownloadOutcome::SerialCommunicationError, "Serial communication error"},
      {{256, 257}, 3, DownloadOutcome::Downloaded, "File successfully loaded"},
      // Sector0: every page went through, so the finish is the command that fails.
      {{0, 1}, 3, DownloadOutcome::SerialCommunicationError, "Serial communication error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " after " + std::to_string(c.sentBefore));
    Rig rig;
    for (uint16_t page : c.pages) rig.image.MarkPageUsed(page);
    rig.view.onPump = [&] {
      if (rig.loader.received.size() >= c.sentBefore) rig.port.ShutdownPort();
    };

    EXPECT_EQ(rig.Send(), c.outcome);
    EXPECT_EQ(rig.view.Messages(), Commands({c.message}));
    EXPECT_EQ(rig.loader.received.size(), c.sentBefore);
    EXPECT_EQ(rig.port.shutdowns, 1);
    EXPECT_EQ(rig.port.closes, 0);  // the final close finds nothing open
    EXPECT_FALSE(rig.port.IsOpen());
    EXPECT_EQ(rig.busy.value, 0);
  }
}

TEST(ShowProgressTest, TurnsTheEventLoopThenShowsTheRoundedDownPercentage) {
  struct Case {
    uint16_t done, total;
    const char* shown;
  };
  const Case cases[] = {{1, 3, "1 33 %"},           {2, 3, "2 66 %"},          {3, 3, "3 100 %"},
                        {1, 2048, "1 0 %"},         {1000, 2048, "1000 48 %"}, {2047, 2048, "2047 99 %"},
                        {2048, 2048, "2048 100 %"}, {1088, 1088, "1088 100 %"}};
  for (const Case& c : cases) {
    ViewRecorder view;
    ShowProgress(view, c.done, c.total);
    EXPECT_EQ(view.log, Commands({"pump", std::string("progress: ") + c.shown}));
  }
}

}  // namespace
}  // namespace kv::test
