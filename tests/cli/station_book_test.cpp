// The station's decisions on their own: which ports a look starts, when a port may be flashed again,
// and the tally, told as a day on the line, one look or run end per step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/station_book.h"

namespace kv {
namespace {

using Names = std::vector<std::string>;

struct Step {
  const char* what;
  Names look;         // a look finding these ports...
  const char* ended;  // ...or, when set, this port's run ending
  int code;           // with this exit code
  Names start;        // what the look starts
  Names gone;         // flashed ports it finds gone
  const char* tally;  // the tally afterwards
};

TEST(StationBook, FlashesEachBoardOnceWhileItStaysAndAgainAfterItHasGone) {
  const Step steps[] = {
      {"ports there at the start are left alone",
       {"ttyS0", "usbA"},
       nullptr,
       0,
       {},
       {},
       "passed 0 \u00b7 failed 0 \u00b7 flashing 0"},
      {"a new port waits for a second look",
       {"ttyS0", "usbA", "usbB"},
       nullptr,
       0,
       {},
       {},
       "passed 0 \u00b7 failed 0 \u00b7 flashing 0"},
      {"then it starts",
       {"ttyS0", "usbA", "usbB"},
       nullptr,
       0,
       {"usbB"},
       {},
       "passed 0 \u00b7 failed 0 \u00b7 flashing 1"},
      {"one seen once and gone is never started",
       {"ttyS0", "usbA", "usbB", "usbC"},
       nullptr,
       0,
       {},
       {},
       "passed 0 \u00b7 failed 0 \u00b7 flashing 1"},
      {"", {"ttyS0", "usbA", "usbB"}, nullptr, 0, {}, {}, "passed 0 \u00b7 failed 0 \u00b7 flashing 1"},
      {"the run passes", {}, "usbB", 0, {}, {}, "passed 1 \u00b7 failed 0 \u00b7 flashing 0"},
      {"a board left connected is not flashed again",
       {"ttyS0", "usbA", "usbB"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 0"},
      {"the start's port goes: not reported, it was never flashed",
       {"ttyS0", "usbB"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 0"},
      {"two appear at once",
       {"ttyS0", "usbB", "usbA", "usbD"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 0"},
      {"and start together",
       {"ttyS0", "usbB", "usbA", "usbD"},
       nullptr,
       0,
       {"usbA", "usbD"},
       {},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 2"},
      {"the flashed board goes",
       {"ttyS0", "usbA", "usbD"},
       nullptr,
       0,
       {},
       {"usbB"},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 2"},
      {"and a new one on its port is flashed",
       {"ttyS0", "usbA", "usbD", "usbB"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 2"},
      {"",
       {"ttyS0", "usbA", "usbD", "usbB"},
       nullptr,
       0,
       {"usbB"},
       {},
       "passed 1 \u00b7 failed 0 \u00b7 flashing 3"},
      {"a failure (or a port that would not open) counts",
       {},
       "usbA",
       8,
       {},
       {},
       "passed 1 \u00b7 failed 1 \u00b7 flashing 2"},
      {"and is not tried again while it stays",
       {"ttyS0", "usbA", "usbD", "usbB"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 1 \u00b7 flashing 2"},
      {"a board pulled while it runs",
       {"ttyS0", "usbA", "usbB"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 1 \u00b7 flashing 2"},
      {"and another put in before its run ended",
       {"ttyS0", "usbA", "usbB", "usbD"},
       nullptr,
       0,
       {},
       {},
       "passed 1 \u00b7 failed 1 \u00b7 flashing 2"},
      {"", {}, "usbD", 10, {}, {}, "passed 1 \u00b7 failed 2 \u00b7 flashing 1"},
      {"is a new board: gone, then flashed at the next look",
       {"ttyS0", "usbA", "usbB", "usbD"},
       nullptr,
       0,
       {},
       {"usbD"},
       "passed 1 \u00b7 failed 2 \u00b7 flashing 1"},
      {"",
       {"ttyS0", "usbA", "usbB", "usbD"},
       nullptr,
       0,
       {"usbD"},
       {},
       "passed 1 \u00b7 failed 2 \u00b7 flashing 2"},
  };
  StationBook book;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    StationBook::Changes changes;
    if (step.ended != nullptr) {
      book.Ended(step.ended, step.code);
    } else {
      changes = book.Look(step.look);
    }
    EXPECT_EQ(changes.start, step.start);
    EXPECT_EQ(changes.gone, step.gone);
    EXPECT_EQ(TallyText(book.Tally()), step.tally);
  }
  EXPECT_EQ(book.ExitCode(), 8) << "the first failure's code";
}

TEST(StationBook, TheFirstLookNamesThePortsLeftAloneAndAStoppedBookStartsNothing) {
  StationBook book;
  EXPECT_EQ(book.Look({"ttyS0", "usbA"}).leftAlone, (Names{"ttyS0", "usbA"}));
  book.Look({"ttyS0", "usbA", "usbB"});
  book.Stop();
  EXPECT_TRUE(book.Look({"ttyS0", "usbA", "usbB"}).start.empty());
  EXPECT_EQ(book.ExitCode(), 0);
}

TEST(StationBook, RoundsOnEnterFlashTheGivenPortsEachTime) {
  StationBook book;
  for (int round = 0; round < 2; ++round) {
    book.Started("COM1");
    book.Started("COM2");
    book.Ended("COM1", 0);
    book.Ended("COM2", round == 0 ? 0 : 9);
  }
  EXPECT_EQ(TallyText(book.Tally()), "passed 3 \u00b7 failed 1 \u00b7 flashing 0");
  EXPECT_EQ(book.ExitCode(), 9);
}

}  // namespace
}  // namespace kv
