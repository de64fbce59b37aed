// The production station's core, one for the command line (ld6193-flash --station) and the station
// window. The caller reads and checks the file once and opens the log; the station then flashes every
// board as its serial port appears, several at once, each on a thread of its own through the same
// device run as a single flash or a gang (device_run.h), and keeps the tally (station_book.h). It knows
// no console and no toolkit: what happens reaches the caller as events (StationObserver), which the
// command line prints as lines and the window draws as tiles.
//
// Which ports: every serial port, or only the given ones (--port/--device). It looks for them on a
// thread of its own (the look thread), again whenever the system reports that ports came or went,
// and starts a port at the second look that finds it, 150 ms after the first. Ports there at the
// first look are left alone until they go. A port is flashed once per connection: again only after a
// look has found it gone. In rounds (--on-enter) it does not watch at all and flashes only at
// FlashAll.
//
// A slot is where a board is plugged in: the USB socket (the /dev/serial/by-path link's name on
// Linux, the port's location path on Windows); a port with no location (an on-board UART, a network
// line, a --device path) is a slot of its own. Boards that carry their own adapter therefore keep
// landing in the same slot. Each board's log row names its slot.
//
// Stopping: the first Stop starts no board after it, and the running ones finish; the second shuts
// their ports down as a second Ctrl-C does (their runs end failed; the exit code is then 130). The
// station has ended once it is stopped and every run has ended: Ended is its last event.
//
// Threads. Start, Stop, FlashAll and the questions may be called from any thread; the owner calls
// Start once. The events come from the station's threads, never from the caller's: the look thread
// sends FirstLook, BoardStarted, BoardEnded, PortGone, LeftAloneGone, TallyChanged, StoppingOnceRunsEnd and
// Ended, one at a time and in that thread's order; a board's own thread sends its BoardProgress and
// BoardTrace, which may come at the same time as another board's or the look thread's events. Events
// are sent with no lock of the station held: an observer may ask the station anything, but must not
// wait for the station to end (a window marshals the events to its own thread, where it coalesces
// its redraws). Every board's BoardProgress and BoardTrace come between its BoardStarted and its
// BoardEnded.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "download/download.h"
#include "ports/port_names.h"
#include "station/device_run.h"
#include "station/device_target.h"
#include "station/station_book.h"

namespace kv {

// A port where the station flashes boards, as its events name it.
struct StationPort {
  std::string name;      // as the command line shows it: "/dev/ttyUSB0", "COM3", a --device path or URL
  std::string slot;      // where its board is plugged in: the by-path link's name ("pci-0000:00:14.0-usb-
                         // 0:2:1.0-port0"), Windows' location path; the name itself when it has no location
  std::string adapter;   // the adapter's identity to show: its by-id name, Windows' friendly name; "" unknown
  std::string identity;  // its lasting name, the log's `port`: by-id name, kernel name, COMn; else the name
};

// How a board's run ended.
struct BoardResult {
  DownloadOutcome outcome = DownloadOutcome::SerialCommunicationError;
  int exitCode = 0;        // that board's exit code (0: passed)
  std::string cause;       // why it failed, on one line; empty on success and for a port the second Stop shut
  double seconds = 0;      // its download, open to close
  std::string logProblem;  // "cannot write the log LOG: why" when its row was lost; else empty
};

// What the station tells its owner. See the header's opening for which thread sends what.
class StationObserver {
 public:
  virtual ~StationObserver() = default;
  // The first look at the ports, as the station starts watching (not in rounds): the ports found there,
  // left alone until they are taken out and put back.
  virtual void FirstLook(const std::vector<StationPort>& leftAlone) = 0;
  // A board's download starts on `port`.
  virtual void BoardStarted(const StationPort& port) = 0;
  // `done` of `pages` pages programmed: 0 of `pages` when the program phase starts, then after each page.
  virtual void BoardProgress(const StationPort& port, unsigned done, unsigned pages) = 0;
  // The board's download has ended and its log row is written.
  virtual void BoardEnded(const StationPort& port, const BoardResult& result) = 0;
  // A port flashed since Start has gone (its board was taken out).
  virtual void PortGone(const StationPort& port) = 0;
  // A port left alone at the first look has gone, never flashed: its next board will be. The command
  // line says nothing of it; the window's tile waits again.
  virtual void LeftAloneGone(const StationPort& /*port*/) {}
  // The tally has changed; also once at the first look or round, with what it is then.
  virtual void TallyChanged(const StationTally& tally) = 0;
  // The first Stop came while boards flash: the station ends once they have.
  virtual void StoppingOnceRunsEnd() = 0;
  // One line of a board's trace (only when StationSetup::trace): "  1523 ms > A2 10 00 4E".
  virtual void BoardTrace(const StationPort& port, std::string_view line) = 0;
  // The station is stopped and every run has ended; `exitCode` as ExitCode(). The last event.
  virtual void Ended(int exitCode) = 0;
};

// What the station works with; all of it outlives the station.
struct StationSetup {
  const LoadedFile& file;             // read, and of a kind a download sends (checked by the caller)
  RunLog& log;                        // opened (OpenRunLog), or with no path: no log
  const PortDirectory& ports;         // where to look, and what COMn stands for
  RunEnvironment runs;                // how a board's line and thread are made
  std::vector<DeviceTarget> given{};  // only these ports (--port/--device); empty: every serial port
  bool rounds = false;                // flash only at FlashAll (--on-enter), never as ports appear
  bool trace = false;                 // every packet and reply byte as BoardTrace lines
  // Stop requests counted outside (a Ctrl-C handler): each counts as a Stop. The station sees them
  // at once when `interruptWake` is raised with each.
  const std::atomic<unsigned>* interrupts = nullptr;
  WakeHandle interruptWake = NoWakeHandle;
};

// What Start did.
struct StationStart {
  bool started = false;
  std::string notice;   // the first look's notice (COM numbers not kept, and why); said even when started
  std::string problem;  // why it did not start: "COM7 stands for no port; ...", "cannot start the look: ..."
};

// A network line never comes or goes as a board is plugged in, so the station flashes one only in
// rounds. What is wrong with watching `device`, the line that the given port `name` stands for: a
// sentence for the user, empty when nothing is (and always in rounds).
std::string WatchProblem(bool rounds, const std::string& name, const std::string& device);

class Station {
 public:
  Station(StationSetup setup, StationObserver& observer);
  // A station still running is stopped twice (its downloads shut down) and waited for, without events
  // after Ended.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Finds the given ports (a look at the ports when one is given by number) and starts the look
  // thread. Not started: nothing runs and no event comes.
  StationStart Start();
  // The first: no board starts after it, running ones finish (StoppingOnceRunsEnd when any runs). The
  // second: the running downloads' ports are shut down. Further ones change nothing.
  void Stop();
  // One round, as --on-enter does at each Enter and the window's "Flash all": the given ports (each one,
  // present or not: one that is not fails at its open), or without given ports every port a fresh look
  // finds; a port whose board flashes now is left to it. Done by the look thread soon after; nothing
  // once stopped.
  void FlashAll();

  // Started and not yet ended.
  bool Running() const;
  // A round is asked for and not yet started, or a board flashes.
  bool Flashing() const;
  // Returns once nothing is Flashing, or the station has ended (for a caller without events: the
  // command line's rounds).
  void WaitUntilIdle() const;
  // Returns once the station has ended (Ended has been sent), at once when it never started.
  void WaitUntilEnded() const;
  StationTally Tally() const;
  // 0 while every board passed, else the first failure's code; 130 (interrupted) when the second Stop
  // shut a download down. Final once the station has ended.
  int ExitCode() const;

 private:
  struct Core;
  std::unique_ptr<Core> core_;
};

}  // namespace kv
