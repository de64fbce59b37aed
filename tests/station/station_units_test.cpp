// The station's pure parts: exit codes, the plan and its time estimate, the text of trace lines and
// log rows, and how a stop reaches the line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "loader/loader_protocol.h"
#include "station/exit_codes.h"
#include "station/plan_report.h"
#include "station/run_log.h"
#include "station/run_view.h"
#include "station/trace_port.h"
#include "tests/support/fake_port.h"

namespace kv {
namespace {

// A run that shows nothing.
class SilentView : public DeviceView {
 public:
  void Started() override {}
  void Step(std::string_view) override {}
  void ProgramStarted(uint16_t) override {}
  void Progress(uint16_t, uint16_t) override {}
  void Outcome(std::string_view) override {}
  void Problem(std::string_view) override {}
  void Trace(std::string_view) override {}
};

// ---- exit codes -------------------------------------------------------------------------------------

// Every way a run can end has a code of its own, and the table that --help prints names each with the
// text the run shows. (Which real cause gives which number is the end-to-end test's to show.)
TEST(ExitCodes, EveryEndingHasItsOwnCodeAndTheTableNamesIt) {
  std::map<int, std::string> ends;  // code -> the text the run shows
  for (const HexReadResult read :
       {CannotOpen, InvalidHexFormat, IllegalSegmentAlignment, UnsupportedRecordType}) {
    EXPECT_FALSE(ReadResultText(read).empty());
    EXPECT_TRUE(ends.emplace(ExitCodeOfRead(read), ReadResultText(read)).second) << ReadResultText(read);
  }
  for (const DownloadOutcome outcome :
       {DownloadOutcome::Downloaded, DownloadOutcome::EmptyHexFile, DownloadOutcome::UnknownFile,
        DownloadOutcome::SerialCommunicationError, DownloadOutcome::FlashProgrammingError,
        DownloadOutcome::EraseProgrammingError, DownloadOutcome::EraseCommunicationError}) {
    const std::string text(TextsOf(outcome).message);
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(ends.emplace(ExitCodeOfOutcome(outcome), text).second) << text;
  }
  EXPECT_EQ(ends.at(ExitSuccess), "File successfully loaded");
  EXPECT_FALSE(ends.contains(ExitUsage));
  EXPECT_FALSE(ends.contains(ExitInterrupted));

  int previous = -1;
  for (const ExitCodeRow& row : ExitCodeTable()) {
    EXPECT_GT(row.code, previous) << "each code once, in ascending order";
    previous = row.code;
    EXPECT_FALSE(row.meaning.empty());
    // The download's outcomes are named by their own texts, so a technician can match the two.
    if (ends.contains(row.code) && row.code >= ExitCodeOfOutcome(DownloadOutcome::EmptyHexFile)) {
      EXPECT_EQ(row.meaning, ends.at(row.code));
    }
    ends.erase(row.code);
  }
  EXPECT_TRUE(ends.empty()) << "every ending is in the table";
}

// ---- plan and estimate ------------------------------------------------------------------------------

TEST(Estimate, LineTimeOfEveryByteAtElevenBitsPlusOneSecondPerErase) {
  struct Row {
    size_t erases;
    size_t pages;
    bool finish;
    double lineMs;
    double pauseMs;
  };
  const Row rows[] = {
      // 4+2 + 261+2 + 3+1 = 273 bytes = 3003 bits
      {1, 1, true, 3003.0 / 115.2, 1000.0},
      // sectors 2, 3, 4, 5 and 10 full: 5 x 6 + 1088 x 263 = 286,174 bytes
      {5, 1088, false, 286174.0 * 11 / 115.2, 5000.0},
      // Sector9 with 32 pages: 6 + 32 x 263 = 8,422 bytes
      {1, 32, false, 8422.0 * 11 / 115.2, 1000.0},
      {0, 0, false, 0.0, 0.0},
  };
  for (const Row& row : rows) {
    const DownloadEstimate estimate = EstimateDownload(row.erases, row.pages, row.finish);
    EXPECT_NEAR(estimate.lineMs, row.lineMs, 1e-6) << row.pages << " pages";
    EXPECT_DOUBLE_EQ(estimate.pauseMs, row.pauseMs);
    EXPECT_DOUBLE_EQ(estimate.TotalMs(), estimate.lineMs + estimate.pauseMs);
  }
  EXPECT_NEAR(EstimateDownload(5, 1088, false).TotalMs(), 32325.6, 0.1);
}

PageMap MapOf(std::initializer_list<std::pair<unsigned, unsigned>> ranges) {
  PageMap map;
  for (const auto& [first, last] : ranges) {
    for (unsigned page = first; page <= last; ++page) map.MarkPageUsed(page);
  }
  return map;
}

TEST(Plan, UsedPagesAsRanges) {
  struct Row {
    PageMap map;
    uint16_t first;
    uint16_t last;
    std::string text;
  };
  const Row rows[] = {
      {MapOf({}), 0x200, 0x2FF, "no pages"},
      {MapOf({{0x1FF, 0x1FF}, {0x300, 0x300}}), 0x200, 0x2FF, "no pages"},  // neighbours do not count
      {MapOf({{0x205, 0x205}}), 0x200, 0x2FF, "0x205"},
      {MapOf({{0x200, 0x2FF}}), 0x200, 0x2FF, "0x200-0x2FF"},
      {MapOf({{0x000, 0x001}, {0x012, 0x012}, {0x0F0, 0x0FF}}), 0x000, 0x0FF,
       "0x000-0x001, 0x012, 0x0F0-0x0FF"},
      {MapOf({{0x7C0, 0x7FF}}), 0x7C0, 0x7FF, "0x7C0-0x7FF"},
  };
  for (const Row& row : rows) EXPECT_EQ(UsedPageRanges(row.map, row.first, row.last), row.text);
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Plan, EachKind) {
  struct Row {
    const char* name;
    PageMap map;
    FileKind kind;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"Sector0, three pages, page 0 forced",
       MapOf({{0x010, 0x011}, {0x0FF, 0x0FF}}),
       FileKind::Sector0,
       {"Kind: Sector0", "Region mask: 0x001", "Erase sector #0 (code 0)",
        "Program sector #0: 0x000, 0x010-0x011, 0x0FF", "Finish: yes",
        "Total pages: 4 (first page 0x000 included)",
        "Expected time at 115200 baud: 1.1 s (line 0.1 s + erase pauses 1.0 s)"}},
      {"Sector1, full",
       MapOf({{0x100, 0x1FF}}),
       FileKind::Sector1,
       {"Kind: Sector1", "Region mask: 0x002", "Erase sector #1 (code 8)", "Program sector #1: 0x100-0x1FF",
        "Finish: no", "Total pages: 256 (first page 0x100 included)",
        "Expected time at 115200 baud: 7.4 s (line 6.4 s + erase pauses 1.0 s)"}},
      {"MultiSector in sectors 2 and 10 only",
       MapOf({{0x210, 0x21F}, {0x7C0, 0x7C3}}),
       FileKind::MultiSector,
       {"Kind: MultiSector", "Region mask: 0x404", "Erase sector #2 (code 16)", "Erase sector #3 (code 24)",
        "Erase sector #4 (code 32)", "Erase sector #5 (code 40)", "Erase sector #10 (code 62)",
        "Program sector #2: 0x200, 0x210-0x21F", "Program sector #3: no pages", "Program sector #4: no pages",
        "Program sector #5: no pages", "Program sector #10: 0x7C0-0x7C3", "Finish: no",
        "Total pages: 21 (first page 0x200 included)",
        "Expected time at 115200 baud: 5.5 s (line 0.5 s + erase pauses 5.0 s)"}},
      {"Sector9",
       MapOf({{0x7A0, 0x7BF}}),
       FileKind::Sector9,
       {"Kind: Sector9", "Region mask: 0x200", "Erase sector #9 (code 61)", "Program sector #9: 0x7A0-0x7BF",
        "Finish: no", "Total pages: 32 (first page 0x7A0 included)",
        "Expected time at 115200 baud: 1.8 s (line 0.8 s + erase pauses 1.0 s)"}},
      {"Empty", MapOf({}), FileKind::Empty, {"Kind: Empty", "Region mask: 0x000", "Empty HEX file"}},
      {"Unknown: sectors 0 and 1",
       MapOf({{0x000, 0x000}, {0x100, 0x100}}),
       FileKind::Unknown,
       {"Kind: Unknown", "Region mask: 0x003", "Unknown file"}},
  };
  for (const Row& row : rows) {
    const PlanReport report = DescribePlan(row.map);
    EXPECT_EQ(report.kind, row.kind) << row.name;
    EXPECT_EQ(LinesOf(report.text), row.lines) << row.name;
  }
}

TEST(Plan, LeavesThePageMapAlone) {
  const PageMap map = MapOf({{0x010, 0x010}});
  DescribePlan(map);
  EXPECT_FALSE(map.IsPageUsed(0));
}

// ---- trace lines and log rows ------------------------------------------------------------------

TEST(TraceLine, TimeDirectionAndUpperCaseHexBytes) {
  TraceLine buffer;
  const uint8_t erase[] = {0xA2, 0x10, 0x00, 0x4E};
  EXPECT_EQ(FormatTraceLine(buffer, 12, '>', erase, 4), "    12 ms > A2 10 00 4E");
  const uint8_t ack = 0xE5;
  EXPECT_EQ(FormatTraceLine(buffer, 1234567, '<', &ack, 1), "1234567 ms < E5");

  std::array<uint8_t, 261> page{};
  page.fill(0xFF);
  const std::string_view line = FormatTraceLine(buffer, 0, '>', page.data(), page.size());
  EXPECT_EQ(line.size(), std::string_view("     0 ms >").size() + 261 * 3);
  EXPECT_TRUE(line.ends_with(" FF FF"));
}

TEST(RunLog, TimesAreUtcIso8601AndDigestsAreSha256) {
  using std::chrono::seconds;
  using std::chrono::system_clock;
  EXPECT_EQ(UtcTimestamp(system_clock::time_point(seconds(0))), "1970-01-01T00:00:00Z");
  EXPECT_EQ(UtcTimestamp(system_clock::time_point(seconds(951868799))), "2000-02-29T23:59:59Z");
  EXPECT_EQ(UtcTimestamp(system_clock::time_point(seconds(1110013623)) + std::chrono::milliseconds(999)),
            "2005-03-05T09:07:03Z");
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex({reinterpret_cast<const uint8_t*>(abc.data()), abc.size()}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(RunLog, AnyPathMakesOneParsableLine) {
  RunLogRow row;
  row.file = "C:\\fw\\\"new\"\nline\xff.hex";  // quotes, a line break, a byte that is not UTF-8
  row.seconds = 1.23456;
  const std::string line = RunLogLine(row);
  ASSERT_TRUE(line.ends_with("\n"));
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const nlohmann::json parsed = nlohmann::json::parse(line);
  EXPECT_EQ(parsed["file"], "C:\\fw\\\"new\"\nline\xEF\xBF\xBD.hex");
  EXPECT_EQ(parsed["seconds"], 1.235);
}

// ---- the interrupt -----------------------------------------------------------------------------------

// The quiet wait (like the finish's attempts) never reaches a turn of the event loop, and a line that
// keeps sending never lets it end early: the line itself must end it.
TEST(InterruptedLine, EndsAWaitAtItsNextReadHoweverTheLineKeepsSending) {
  test::VirtualClock clock;
  test::FakePort port(clock);
  ASSERT_EQ(port.OpenPort(1), 0);
  for (uint64_t at = 0; at < 60'000; at += 20) port.QueueReply(0x3F, at);
  std::atomic<bool> interrupted{true};
  SilentView shows;
  RunView view(shows, port, interrupted);
  LoaderLink link(view.Line(), clock, view);
  link.AwaitQuietLine();
  EXPECT_TRUE(view.ShutDownByInterrupt());
  EXPECT_EQ(port.shutdowns, 1);
  EXPECT_EQ(clock.now, ShutdownPauseMs);
}

}  // namespace
}  // namespace kv
