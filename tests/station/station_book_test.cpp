// The station's decisions on their own: which ports a look starts, when a port may be flashed again,
// and the tally, told as a day on the line, one look or run end per step.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "station/station_book.h"

namespace kv {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(StationBook, FlashesEachBoardOnceWhileItStaysAndAgainAfterItHasGone) {
  struct Step {
    const char* event;  // "look PORT...": the ports a look finds; "end PORT CODE"; "stop"
    const char* start;  // the ports the look starts
    const char* gone;   // the flashed ports it finds gone; "~P": P, left alone at the start, has gone
    const char* tally;  // passed, failed, flashing afterwards
    bool soon;          // a port waits for its second look
  };
  // clang-format off
  const Step steps[] = {
      {"look S0 A",         "",    "",  "0 0 0", false},  // there at the start: left alone
      {"look S0 A B",       "",    "",  "0 0 0", true },  // a new port waits for a second look
      {"look S0 A B",       "B",   "",  "0 0 1", false},
      {"look S0 A B C",     "",    "",  "0 0 1", true },  // seen once and gone: never started
      {"look S0 A B",       "",    "",  "0 0 1", false},
      {"end B 0",           "",    "",  "1 0 0", false},
      {"look S0 A B",       "",    "",  "1 0 0", false},  // left connected: not flashed again
      {"look S0 B",         "",    "~A", "1 0 0", false},  // A, never flashed, is told apart
      {"look S0 B A D",     "",    "",  "1 0 0", true },  // two at once...
      {"look S0 B A D",     "A D", "",  "1 0 2", false},  // ...start together
      {"look S0 A D",       "",    "B", "1 0 2", false},  // the flashed board goes
      {"look S0 A D B",     "",    "",  "1 0 2", true },  // and a new one on its port is flashed
      {"look S0 A D B",     "B",   "",  "1 0 3", false},
      {"end A 8",           "",    "",  "1 1 2", false},  // a failure, such as a port that would not open,
      {"look S0 A D B",     "",    "",  "1 1 2", false},  // is not tried again while it stays
      {"look S0 A B",       "",    "",  "1 1 2", false},  // D pulled while it runs...
      {"look S0 A B D",     "",    "",  "1 1 2", false},  // ...and another board put in before it ended
      {"end D 10",          "",    "",  "1 2 1", false},
      {"look S0 A B D",     "",    "D", "1 2 1", true },  // is a new board: flashed at the next look
      {"look S0 A B D",     "D",   "",  "1 2 2", false},
      {"look S0 A B D E",   "",    "",  "1 2 2", true },
      {"stop",              "",    "",  "1 2 2", false},
      {"look S0 A B D E",   "",    "",  "1 2 2", false},  // stopped: nothing more starts
  };
  // clang-format on
  StationBook book;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.event);
    std::vector<std::string> event = Words(step.event);
    const std::string what = event.front();
    event.erase(event.begin());
    StationBook::Changes changes;
    if (what == "look") changes = book.Look(event);
    if (what == "end") book.Ended(event[0], std::stoi(event[1]));
    if (what == "stop") book.Stop();
    EXPECT_EQ(changes.start, Words(step.start));
    std::vector<std::string> gone = changes.gone;
    for (const std::string& port : changes.leftAloneGone) gone.push_back("~" + port);
    EXPECT_EQ(gone, Words(step.gone));
    EXPECT_EQ(book.AwaitsSecondLook(), step.soon);
    const std::vector<std::string> tally = Words(step.tally);
    EXPECT_EQ(TallyText(book.Tally()),
              "passed " + tally[0] + " \u00b7 failed " + tally[1] + " \u00b7 flashing " + tally[2]);
  }
  EXPECT_EQ(book.ExitCode(), 8) << "the first failure's code";
}

}  // namespace
}  // namespace kv
