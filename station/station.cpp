#include "station/station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "net/network_port.h"
#include "station/exit_codes.h"

namespace kv {
namespace {

// A port is flashed at the second look that finds it, this long after the first: a new one is
// flashed about 150 ms after it appears, by when udev has set its owner and mode.
constexpr std::chrono::milliseconds LookInterval{150};
// Otherwise the station sleeps until the system reports that ports have come or gone, or a run ends,
// or a stop or a round is asked for; and looks at least this often (Windows' fresh look at its device
// manager comes every few looks, and a Ctrl-C must be seen where the system gave no wake handle).
constexpr std::chrono::milliseconds QuietLookInterval{1000};
// How often a station that waits for its downloads checks for a second stop without a wake handle.
constexpr std::chrono::milliseconds StopCheckInterval{50};

// A port given with --port or --device, and how a look recognises it.
struct WatchedPort {
  DeviceTarget target;  // as given
  std::string key;      // the adapter COMn stands for: then known by it alone
  std::string path;     // otherwise the device, there while the path exists
};

// A port found at one look, as the station flashes it.
struct FoundPort {
  DeviceTarget target;  // the device opened
  StationPort port;     // what the events and the log say of it
};

bool SameDevice(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

// A present port under the station's name for it.
StationPort Describe(const std::string& name, const PresentPort& present) {
  return {name, present.slot.empty() ? name : present.slot, present.adapter, present.key};
}

// A port that no look describes: a slot of its own, known by `identity`.
StationPort Unlisted(const std::string& name, const std::string& identity) {
  return {name, name, {}, identity};
}

std::optional<FoundPort> Locate(const WatchedPort& watched, const std::vector<PresentPort>& present) {
  const std::string& name = watched.target.name;
  for (const PresentPort& port : present) {
    if (watched.key.empty() ? SameDevice(port.device, watched.path) : port.key == watched.key) {
      return FoundPort{{name, 0, port.device}, Describe(name, port)};
    }
  }
  std::error_code error;
  if (watched.key.empty() && std::filesystem::exists(watched.path, error)) {
    return FoundPort{{name, 0, watched.path}, Unlisted(name, watched.path)};
  }
  return std::nullopt;
}

// One look at the ports for `targets` (the start, or a round): a survey when one is given by number,
// which resolves it; else the ports present alone, since a survey gives new adapters their numbers.
PortLook LookForTargets(const std::vector<DeviceTarget>& targets, const PortDirectory& ports) {
  if (AnyByNumber(targets)) return ports.Look();
  return PortLook(PortSurvey{FindPresentPorts(ports.Places().root), {}, {}}, nullptr);
}

// Every present port, as the station names it: Windows' ports are shown as "COM3", not as the device
// "\\.\COM3".
std::vector<FoundPort> EveryPort(const std::vector<PresentPort>& present) {
  std::vector<FoundPort> found;
  for (const PresentPort& port : present) {
    const std::string name = port.namedByNumber ? port.key : port.device;
    found.push_back({{name, 0, port.device}, Describe(name, port)});
  }
  return found;
}

// What a board's run shows at the station: its progress and trace, as events. Its outcome and cause
// reach the observer with its end.
class BoardView : public DeviceView {
 public:
  BoardView(StationObserver& observer, StationPort port) : observer_(observer), port_(std::move(port)) {}
  void Started() override {}
  void Step(std::string_view /*status*/) override {}
  void ProgramStarted(uint16_t pages) override { observer_.BoardProgress(port_, 0, pages); }
  void Progress(uint16_t done, uint16_t pages) override { observer_.BoardProgress(port_, done, pages); }
  void Outcome(std::string_view /*text*/) override {}
  void Problem(std::string_view /*line*/) override {}
  void Trace(std::string_view line) override { observer_.BoardTrace(port_, line); }

 private:
  StationObserver& observer_;
  const StationPort port_;
};

}  // namespace

std::string WatchProblem(bool rounds, const std::string& name, const std::string& device) {
  if (rounds || !IsNetworkUrl(device)) return {};
  return name +
         " is a network line, which cannot be watched for boards: add --on-enter to flash it at each Enter.";
}

struct Station::Core {
  Core(StationSetup s, StationObserver& o) : setup(std::move(s)), observer(o) {}

  // A board's run on its thread, until Reap takes it in.
  struct RunningBoard {
    StationPort port;
    std::shared_ptr<const PortLook> look;  // what its port opens by number; outlives the run
    std::unique_ptr<DeviceRun> run;
    std::thread thread;
    bool ended = false;     // under mutex
    bool reported = false;  // the look thread's: joined and told
  };

  // ---- Start ------------------------------------------------------------------------------------

  // What a look at each given port goes by, from one look at the start. False, with the problem, when
  // one can never be found.
  bool WatchGiven(StationStart& report) {
    const PortLook look = LookForTargets(setup.given, setup.ports);
    report.notice = look.Survey().notice;
    for (const DeviceTarget& target : setup.given) {
      WatchedPort port{target, {}, target.devicePath};
      if (!target.ByPath()) {
        const PortEntry entry = look.Resolve(target.portNumber);
        port.key = entry.keptFor;
        port.path = entry.device;
        for (const PresentPort& found : look.Survey().present) {
          if (!entry.fromEnvironment && found.device == entry.device) port.key = found.key;
        }
        if (port.key.empty() && port.path.empty()) {
          report.problem = target.name + " stands for no port; ld6193-flash --list-ports shows which do";
          return false;
        }
        if (std::string problem = WatchProblem(setup.rounds, target.name, port.path); !problem.empty()) {
          report.problem = std::move(problem);
          return false;
        }
      }
      watched.push_back(std::move(port));
    }
    return true;
  }

  // ---- the look thread ---------------------------------------------------------------------------

  void LookLoop() {
    bool first = true;
    for (;;) {
      Reap();
      const unsigned level = StopLevel();
      if (level > 1) shutDown.store(true);
      if (level > 0) {
        book.Stop();
        EndRound();  // a round asked for is not started once stopped
        if (!AnyRunning()) break;
        if (!stopSaid) {
          stopSaid = true;
          observer.StoppingOnceRunsEnd();
        }
        changes->Wait(StopCheckInterval);
        continue;
      }
      if (!setup.rounds) {
        LookOnce(first);
        first = false;
      }
      const bool round = RoundAsked();
      if (round) FlashRound();
      // In rounds, the tally is told from the first round on.
      if (!setup.rounds || round) SendTally();
      Pause();
    }
    int code = 0;
    {
      const std::lock_guard lock(mutex);
      code = exitCode;
    }
    observer.Ended(code);
    {
      const std::lock_guard lock(mutex);
      ended = true;
    }
    changed.notify_all();
  }

  // Waits for the next look. A port seen once is looked at again only a LookInterval later, whatever
  // comes or goes meanwhile (the changes are kept for that look): udev sets its owner and mode, and
  // makes its links, in that time. A stop, a round or a run's end ends the wait at once.
  void Pause() {
    if (!book.AwaitsSecondLook()) {
      changes->Wait(lookOften ? LookInterval : QuietLookInterval);
      return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + LookInterval;
    for (Clock::time_point now = Clock::now(); now < until && !Woken(); now = Clock::now()) {
      changes->Wait(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
  }

  // Something the look thread must answer before the next look: a stop, a round, a run's end.
  bool Woken() const {
    const std::lock_guard lock(mutex);
    const bool anyEnded =
        std::any_of(running.begin(), running.end(), [](const RunningBoard& board) { return board.ended; });
    const unsigned interrupts = setup.interrupts ? setup.interrupts->load() : 0u;
    return stops > 0 || interrupts > 0 || roundAsked || anyEnded;
  }

  // The ports present now: searched afresh when they may have changed, else the last search's.
  const std::vector<PresentPort>& PresentPorts() {
    if (changes->Changed()) present = FindPresentPorts(setup.ports.Places().root);
    return present;
  }

  std::vector<FoundPort> Look() {
    const std::vector<PresentPort>& ports = PresentPorts();
    if (watched.empty()) return EveryPort(ports);
    std::vector<FoundPort> found;
    for (const WatchedPort& port : watched) {
      if (std::optional<FoundPort> located = Locate(port, ports)) found.push_back(std::move(*located));
    }
    return found;
  }

  // One look: the first one's ports are left alone, the gone are told, the arrived started.
  void LookOnce(bool first) {
    const std::vector<FoundPort> found = Look();
    std::vector<std::string> names;
    for (const FoundPort& port : found) names.push_back(port.target.name);
    const StationBook::Changes told = book.Look(names);
    const auto portNamed = [&found](const std::string& name) -> const FoundPort& {
      return *std::find_if(found.begin(), found.end(),
                           [&name](const FoundPort& port) { return port.target.name == name; });
    };
    if (first) {
      std::vector<StationPort> leftAlone;
      for (const std::string& name : told.leftAlone) {
        leftAlone.push_back(portNamed(name).port);
        untouched.emplace(name, leftAlone.back());
      }
      observer.FirstLook(leftAlone);
    }
    for (const std::string& name : told.leftAloneGone) {
      const auto it = untouched.find(name);
      observer.LeftAloneGone(it != untouched.end() ? it->second : Unlisted(name, name));
      if (it != untouched.end()) untouched.erase(it);
    }
    for (const std::string& name : told.gone) {
      const auto it = flashed.find(name);
      observer.PortGone(it != flashed.end() ? it->second : Unlisted(name, name));
      if (it != flashed.end()) flashed.erase(it);
    }
    for (const std::string& name : told.start) {
      const FoundPort& port = portNamed(name);
      StartBoard(port.target, nullptr, port.port);
    }
  }

  // A round is asked for; it stays asked for (Flashing) until its boards are running (EndRound).
  bool RoundAsked() const {
    const std::lock_guard lock(mutex);
    return roundAsked;
  }

  // The round asked for is done, or will not be: a FlashAll that came while it started is part of it.
  void EndRound() {
    {
      const std::lock_guard lock(mutex);
      roundAsked = false;
    }
    changed.notify_all();
  }

  // One round: the given ports, each one, present or not, each opening what this look found; or every
  // port present. A port whose board flashes now is left to it.
  void FlashRound() {
    std::vector<std::pair<DeviceTarget, StationPort>> boards;
    std::shared_ptr<const PortLook> look;
    if (watched.empty()) {
      for (const FoundPort& port : EveryPort(FindPresentPorts(setup.ports.Places().root))) {
        boards.emplace_back(port.target, port.port);
      }
    } else {
      look = std::make_shared<const PortLook>(LookForTargets(setup.given, setup.ports));
      for (const WatchedPort& port : watched) {
        const std::optional<FoundPort> found = Locate(port, look->Survey().present);
        boards.emplace_back(port.target, found ? found->port : Unlisted(port.target.name, port.target.name));
      }
    }
    for (const auto& [target, port] : boards) {
      if (IsRunning(target.name)) continue;
      book.Started(target.name);
      StartBoard(target, look, port);
    }
    EndRound();
  }

  // Starts the board's download on a thread of its own; one that cannot start ends at once, failed. A
  // target by number opens what `look` resolves.
  void StartBoard(const DeviceTarget& target, std::shared_ptr<const PortLook> look, const StationPort& port) {
    const PortResolver& resolver = look ? static_cast<const PortResolver&>(*look) : noLook;
    std::unique_ptr<DeviceRun> run = PrepareDevice(
        target, resolver, {std::make_unique<BoardView>(observer, port), setup.trace, shutDown}, setup.runs);
    run->identity = port.identity;
    run->slot = port.slot;
    flashed[port.name] = port;
    RunningBoard* board = nullptr;
    {
      const std::lock_guard lock(mutex);
      board = &running.emplace_back();
      board->port = port;
      board->look = std::move(look);
      board->run = std::move(run);
    }
    observer.BoardStarted(port);
    // The list is changed on this thread only: the entry stays where it is while its run goes on.
    board->thread = StartRun(*board->run, setup.file, setup.log, setup.runs.startThread, [this, board] {
      {
        const std::lock_guard done(mutex);
        board->ended = true;
      }
      changes->Wake();
    });
  }

  // Takes in the runs that have ended: each one's end and its count, then the tally. Others may end
  // meanwhile: they are taken in at the next Reap.
  void Reap() {
    std::vector<RunningBoard*> ended;
    {
      const std::lock_guard lock(mutex);
      for (RunningBoard& board : running) {
        if (board.ended) ended.push_back(&board);
      }
    }
    if (ended.empty()) return;
    for (RunningBoard* board : ended) {
      if (board->thread.joinable()) board->thread.join();
      const DeviceRun& run = *board->run;
      const bool shut = run.view->ShutDownByInterrupt();
      anyRunShutDown = anyRunShutDown || shut;
      const int code = ExitCodeOfOutcome(run.outcome);
      book.Ended(run.target.name, code);
      const std::string cause = run.cause.text.empty() || shut ? std::string() : run.cause.Line();
      observer.BoardEnded(board->port, {run.outcome, code, cause, run.seconds, run.logProblem});
      board->reported = true;
    }
    SendTally();
    {
      const std::lock_guard lock(mutex);
      running.remove_if([](const RunningBoard& board) { return board.reported; });
    }
    changed.notify_all();
  }

  // The tally and the exit code as they stand, for the owner's questions; TallyChanged when changed.
  void SendTally() {
    const StationTally tally = book.Tally();
    {
      const std::lock_guard lock(mutex);
      shownTally = tally;
      exitCode = anyRunShutDown ? ExitInterrupted : book.ExitCode();
    }
    if (tallySent && *tallySent == tally) return;
    tallySent = tally;
    observer.TallyChanged(tally);
  }

  unsigned StopLevel() const {
    const std::lock_guard lock(mutex);
    return std::max(stops, setup.interrupts ? setup.interrupts->load() : 0u);
  }

  bool AnyRunning() const {
    const std::lock_guard lock(mutex);
    return !running.empty();
  }

  bool IsRunning(const std::string& name) const {
    const std::lock_guard lock(mutex);
    return std::any_of(running.begin(), running.end(),
                       [&name](const RunningBoard& board) { return board.port.name == name; });
  }

  StationSetup setup;
  StationObserver& observer;
  std::thread lookThread;

  // Made at Start, then the look thread's alone.
  std::vector<WatchedPort> watched;  // empty: every port
  std::unique_ptr<PortChanges> changes;
  bool lookOften = false;            // a given port's coming is not reported: looked for every LookInterval
  const PortLook noLook;             // for a port found by its path, which opens no COMn
  std::vector<PresentPort> present;  // the last search
  StationBook book;
  std::map<std::string, StationPort> flashed;    // ports started since Start and not seen gone, by name
  std::map<std::string, StationPort> untouched;  // the first look's ports, left alone and not seen gone
  std::optional<StationTally> tallySent;
  bool anyRunShutDown = false;
  bool stopSaid = false;
  std::atomic<bool> shutDown{false};  // the second stop: the downloads' ports are shut

  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // a board was reaped, or the station ended
  std::list<RunningBoard> running;          // entries added and taken away by the look thread
  unsigned stops = 0;
  bool roundAsked = false;
  bool started = false;
  bool ended = false;
  StationTally shownTally;
  int exitCode = 0;
};

Station::Station(StationSetup setup, StationObserver& observer)
    : core_(std::make_unique<Core>(std::move(setup), observer)) {}

Station::~Station() {
  if (!core_->lookThread.joinable()) return;
  {
    const std::lock_guard lock(core_->mutex);
    core_->stops = 2;
  }
  core_->changes->Wake();
  core_->lookThread.join();
}

StationStart Station::Start() {
  Core& core = *core_;
  StationStart report;
  if (!core.WatchGiven(report)) return report;
  core.changes = std::make_unique<PortChanges>(core.setup.ports.Places().root, core.setup.interruptWake);
  for (const WatchedPort& port : core.watched) {
    if (port.key.empty() && !core.changes->AlsoWatch(port.path)) core.lookOften = true;
  }
  {
    const std::lock_guard lock(core.mutex);
    core.started = true;
  }
  // The look's own thread is not the runs' (setup.runs): a board that cannot have one fails alone.
  StartedThread look = StartThread([&core] { core.LookLoop(); });
  if (!look.thread.joinable()) {
    const std::lock_guard lock(core.mutex);
    core.started = false;
    report.problem = "cannot start the station's look for ports: " + look.problem;
    return report;
  }
  core.lookThread = std::move(look.thread);
  report.started = true;
  return report;
}

void Station::Stop() {
  {
    const std::lock_guard lock(core_->mutex);
    if (!core_->started) return;
    ++core_->stops;
  }
  core_->changes->Wake();
}

void Station::FlashAll() {
  {
    const std::lock_guard lock(core_->mutex);
    if (!core_->started || core_->ended || core_->stops > 0) return;
    core_->roundAsked = true;
  }
  core_->changes->Wake();
}

bool Station::Running() const {
  const std::lock_guard lock(core_->mutex);
  return core_->started && !core_->ended;
}

bool Station::Flashing() const {
  const std::lock_guard lock(core_->mutex);
  return core_->roundAsked || !core_->running.empty();
}

void Station::WaitUntilIdle() const {
  std::unique_lock lock(core_->mutex);
  core_->changed.wait(lock, [this] {
    return !core_->started || core_->ended || (!core_->roundAsked && core_->running.empty());
  });
}

void Station::WaitUntilEnded() const {
  std::unique_lock lock(core_->mutex);
  core_->changed.wait(lock, [this] { return !core_->started || core_->ended; });
}

StationTally Station::Tally() const {
  const std::lock_guard lock(core_->mutex);
  return core_->shownTally;
}

int Station::ExitCode() const {
  const std::lock_guard lock(core_->mutex);
  return core_->exitCode;
}

}  // namespace kv
