// The production station's bookkeeping, apart from ports, threads and output so that it can be
// checked on its own: which ports to flash after each look at the ports present, when a port may be
// flashed again, and the tally.
//
// A port is known by a name that stays the same while its board stays connected (its device). It is
// flashed once two looks in a row have found it: a new adapter's device node gets its group and its
// by-id name from udev a moment after it appears, and a port opened before that fails for nothing. It
// is flashed again only after a look has found it gone. Ports present at the first look are left
// alone until they go: the station flashes boards connected while it runs, never one left over from
// before (nor an on-board serial port).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kv {

struct StationTally {
  unsigned passed = 0;
  unsigned failed = 0;
  unsigned flashing = 0;
  friend bool operator==(const StationTally&, const StationTally&) = default;
};

// "passed 41 · failed 2 · flashing 3"
std::string TallyText(const StationTally& tally);

class StationBook {
 public:
  struct Changes {
    std::vector<std::string> start;          // to flash now, in the look's order
    std::vector<std::string> gone;           // flashed ports that have gone since the last look
    std::vector<std::string> leftAlone;      // the first look's ports, not flashed until they come back
    std::vector<std::string> leftAloneGone;  // of those, the ones gone since the last look, never flashed
  };

  // One look at the ports present now.
  Changes Look(const std::vector<std::string>& present);
  // A port flashed without a look (--on-enter: each round flashes the given ports, present or not).
  void Started(const std::string& port);
  // A port's run ended with this exit code (0: passed).
  void Ended(const std::string& port, int exitCode);
  // No port is started after this; the running ones still end.
  void Stop() { stopped_ = true; }

  // A port found by the last look waits for the next one to be flashed.
  bool AwaitsSecondLook() const;

  StationTally Tally() const { return tally_; }
  // 0 while every device passed, else the code of the first that failed.
  int ExitCode() const { return firstFailure_; }

 private:
  enum class State {
    Arrived,  // found by one look; flashed if the next finds it too
    Running,  // its download runs
    Waiting,  // flashed, or there at the start: flashed again only once it has gone
  };
  struct Entry {
    State state = State::Arrived;
    bool flashed = false;   // a run of this station ended on it
    bool wentAway = false;  // a look missed it while it ran: the board it ends on is gone
  };

  std::map<std::string, Entry> ports_;
  std::vector<std::string> goneSinceLook_;  // ended after their board had gone
  StationTally tally_;
  int firstFailure_ = 0;
  bool firstLook_ = true;
  bool stopped_ = false;
};

}  // namespace kv
