#include "cli/station.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/device_run.h"
#include "cli/exit_codes.h"
#include "cli/plan_report.h"
#include "cli/station_book.h"
#include "net/network_port.h"

namespace kv {
namespace {

// A port is flashed at the second look that finds it, this long after the first: a new one is
// flashed about 150 ms after it appears, by when udev has set its owner and mode.
constexpr std::chrono::milliseconds LookInterval{150};
// Otherwise the station sleeps until the system reports that ports have come or gone, or a run ends,
// or a Ctrl-C comes; and looks at least this often (Windows' fresh look at its device manager comes
// every few looks, and a Ctrl-C must be seen where the system gave no wake handle).
constexpr std::chrono::milliseconds QuietLookInterval{1000};
// How often a station that waits for its downloads checks for a second Ctrl-C without a wake handle.
constexpr std::chrono::milliseconds StopCheckInterval{50};

// A port found at one look, as the station flashes it.
struct FoundPort {
  DeviceTarget target;   // its name in the output, and the device opened
  std::string identity;  // its lasting name, for the log
};

// A port given with --port or --device, and how a look recognises it.
struct WatchedPort {
  DeviceTarget target;  // as given
  std::string key;      // the adapter COMn stands for: then known by it alone
  std::string path;     // otherwise the device, there while the path exists
};

bool SameDevice(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

std::optional<FoundPort> Locate(const WatchedPort& watched, const std::vector<PresentPort>& present) {
  for (const PresentPort& port : present) {
    if (watched.key.empty() ? SameDevice(port.device, watched.path) : port.key == watched.key) {
      return FoundPort{{watched.target.name, 0, port.device}, port.key};
    }
  }
  std::error_code error;
  if (watched.key.empty() && std::filesystem::exists(watched.path, error)) {
    return FoundPort{{watched.target.name, 0, watched.path}, watched.path};
  }
  return std::nullopt;
}

// What a look at each given port goes by. Empty, said on standard error, when one can never be found.
std::vector<WatchedPort> WatchGiven(const FlashOptions& options, const PortDirectory& ports,
                                    Console& console) {
  const std::vector<PresentPort> present = FindPresentPorts(ports.Places().root);
  std::vector<WatchedPort> watched;
  for (const DeviceTarget& target : options.devices) {
    WatchedPort port{target, {}, target.devicePath};
    if (!target.ByPath()) {
      const PortEntry entry = ports.Resolve(target.portNumber);
      port.key = entry.keptFor;
      port.path = entry.device;
      for (const PresentPort& found : present) {
        if (!entry.fromEnvironment && found.device == entry.device) port.key = found.key;
      }
      if (port.key.empty() && port.path.empty()) {
        console.Err("", target.name + " stands for no port; ld6193-flash --list-ports shows which do");
        return {};
      }
      if (!options.onEnter && IsNetworkUrl(port.path)) {
        console.Err("",
                    target.name + " is a network line, which cannot be watched for boards: add --on-enter");
        return {};
      }
    }
    watched.push_back(std::move(port));
  }
  return watched;
}

class Station {
 public:
  Station(const FlashOptions& options, FlasherEnvironment& env, StationEnvironment& station,
          const LoadedFile& file, RunLog& log, std::vector<WatchedPort> watched)
      : options_(options),
        env_(env),
        station_(station),
        console_(env.console),
        file_(file),
        log_(log),
        watched_(std::move(watched)) {
    for (const WatchedPort& port : watched_) {
      if (port.key.empty() && !changes_.AlsoWatch(port.path)) lookOften_ = true;
    }
  }
  ~Station() { WaitForRuns(); }
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  int Run() {
    if (options_.onEnter) {
      FlashAtEachEnter();
    } else {
      FlashAsPortsAppear();
    }
    book_.Stop();
    WaitForRuns();
    console_.ClearProgress();
    console_.Out("", TallyText(book_.Tally()));
    if (shutDownOne_) return Interrupted(console_);
    return book_.ExitCode();
  }

 private:
  struct Active {
    std::unique_ptr<DeviceRun> run;
    std::thread thread;
    bool ended = false;  // under mutex_
  };

  bool Stopping() const { return station_.interrupts.load() > 0; }

  // The ports present now: searched afresh when they may have changed, else the last search's.
  const std::vector<PresentPort>& PresentPorts() {
    if (changes_.Changed()) present_ = FindPresentPorts(station_.ports.Places().root);
    return present_;
  }

  std::vector<FoundPort> Look() {
    const std::vector<PresentPort>& present = PresentPorts();
    std::vector<FoundPort> found;
    for (const WatchedPort& watched : watched_) {
      if (std::optional<FoundPort> port = Locate(watched, present)) found.push_back(std::move(*port));
    }
    if (!watched_.empty()) return found;
    for (const PresentPort& port : present) {
      // Windows' ports are shown as "COM3", not as the device "\\.\COM3".
      found.push_back({{port.namedByNumber ? port.key : port.device, 0, port.device}, port.key});
    }
    return found;
  }

  void FlashAsPortsAppear() {
    bool first = true;
    while (!Stopping()) {
      Reap();
      const std::vector<FoundPort> found = Look();
      std::vector<std::string> names;
      for (const FoundPort& port : found) names.push_back(port.target.name);
      const StationBook::Changes changes = book_.Look(names);
      if (first) Welcome(changes.leftAlone);
      first = false;
      for (const std::string& name : changes.gone) Say("[" + name + "] ", "removed");
      for (const std::string& name : changes.start) {
        for (const FoundPort& port : found) {
          if (port.target.name == name) Start(port.target, port.identity);
        }
      }
      ShowTally();
      Pause(lookOften_ || book_.AwaitsSecondLook() ? LookInterval : QuietLookInterval);
    }
  }

  void Welcome(const std::vector<std::string>& leftAlone) {
    std::string names;
    for (const std::string& name : leftAlone) names += (names.empty() ? "" : ", ") + name;
    if (!names.empty()) Say("", "Left alone until unplugged and plugged in again: " + names);
    std::string watched;
    for (const WatchedPort& port : watched_) watched += (watched.empty() ? "" : ", ") + port.target.name;
    Say("", "Waiting for boards on " + (watched.empty() ? std::string("every serial port") : watched) +
                "; Ctrl-C stops");
  }

  void FlashAtEachEnter() {
    std::string names;
    for (const WatchedPort& port : watched_) names += (names.empty() ? "" : ", ") + port.target.name;
    while (!Stopping()) {
      Say("", "Press Enter to flash " + names + "; Ctrl-C stops");
      if (!station_.waitForEnter() || Stopping()) return;
      const std::vector<PresentPort> present = FindPresentPorts(station_.ports.Places().root);
      for (const WatchedPort& watched : watched_) {
        const std::optional<FoundPort> found = Locate(watched, present);
        book_.Started(watched.target.name);
        Start(watched.target, found ? found->identity : watched.target.name);
      }
      ShowTally();
      WaitForRuns();
    }
  }

  // Starts the device's download on a thread of its own; one that cannot start ends at once, failed.
  void Start(const DeviceTarget& target, const std::string& identity) {
    const std::string prefix = "[" + target.name + "] ";
    const DeviceSetup setup{{prefix, false, false}, NoProgressSlot, options_.trace, &shutDown_};
    std::unique_ptr<DeviceRun> run = PrepareDevice(target, file_, setup, env_);
    run->identity = identity;
    Say(prefix, identity == target.name ? "started" : "started: " + identity);
    Active* active = nullptr;
    {
      const std::lock_guard lock(mutex_);
      active = &active_.emplace_back();
      active->run = std::move(run);
    }
    // The list is changed on this thread only: the entry stays where it is while its run goes on.
    active->thread = StartRun(*active->run, file_, log_, env_, [this, active] {
      {
        const std::lock_guard done(mutex_);
        active->ended = true;
      }
      changes_.Wake();
    });
  }

  // Takes in the runs that have ended: each one's line and its count.
  void Reap() {
    std::list<Active> ended;
    {
      const std::lock_guard lock(mutex_);
      for (auto it = active_.begin(); it != active_.end();) {
        const auto next = std::next(it);
        if (it->ended) ended.splice(ended.end(), active_, it);
        it = next;
      }
    }
    for (Active& active : ended) {
      if (active.thread.joinable()) active.thread.join();
      const DeviceRun& run = *active.run;
      shutDownOne_ = shutDownOne_ || run.view->ShutDownByInterrupt();
      book_.Ended(run.target.name, ExitCodeOfOutcome(run.outcome));
      char time[32];
      std::snprintf(time, sizeof time, " (%.1f s)", run.seconds);
      console_.Out(run.prefix, std::string(TextsOf(run.outcome).message) + time);
    }
    if (!ended.empty()) ShowTally();
  }

  // Waits `interval`, or less when a run ends or ports change. The first Ctrl-C is answered here
  // while downloads run, and a second one shuts them down.
  void Pause(std::chrono::milliseconds interval) {
    changes_.Wait(interval);
    bool running = false;
    {
      const std::lock_guard lock(mutex_);
      running = !active_.empty();
    }
    if (station_.interrupts.load() > 1) shutDown_.store(true);
    if (Stopping() && running && !stopSaid_) {
      stopSaid_ = true;
      Say("", "Stopping once the running downloads end; Ctrl-C again shuts them down");
    }
  }

  void WaitForRuns() {
    for (;;) {
      Reap();
      {
        const std::lock_guard lock(mutex_);
        if (active_.empty()) return;
      }
      Pause(StopCheckInterval);
    }
  }

  // A line on standard output, not under --quiet.
  void Say(std::string_view prefix, const std::string& text) {
    if (!options_.quiet) console_.Out(prefix, text);
  }

  void ShowTally() { console_.ShowStatus(TallyText(book_.Tally())); }

  const FlashOptions& options_;
  FlasherEnvironment& env_;
  StationEnvironment& station_;
  Console& console_;
  const LoadedFile& file_;
  RunLog& log_;
  const std::vector<WatchedPort> watched_;  // empty: every port
  StationBook book_;
  PortChanges changes_{station_.ports.Places().root, station_.interruptWake};
  bool lookOften_ = false;            // a given port's coming is not reported: looked for every LookInterval
  std::vector<PresentPort> present_;  // the last search
  std::mutex mutex_;
  std::list<Active> active_;
  std::atomic<bool> shutDown_{false};  // the second Ctrl-C: the downloads' ports are shut
  bool shutDownOne_ = false;           // a download ended by it
  bool stopSaid_ = false;
};

}  // namespace

int RunStation(const FlashOptions& options, FlasherEnvironment& env, StationEnvironment& station) {
  Console& console = env.console;
  auto file = std::make_unique<LoadedFile>();
  std::vector<uint8_t> bytes;
  if (const int code = LoadForDevices(options, env, *file, bytes); code != ExitSuccess) return code;
  const PlanReport plan = DescribePlan(file->image.Pages());
  if (const int code = PlanExitCode(plan.kind); code != ExitSuccess) {
    console.Out("", PlanLine(plan));  // the outcome a download would end with, printed even so
    return code;
  }
  if (!options.quiet) console.Out("", PlanLine(plan));
  RunLog log;
  if (!OpenRunLog(options, *file, bytes, log, console)) return ExitUsage;
  std::vector<WatchedPort> watched = WatchGiven(options, station.ports, console);
  if (watched.size() != options.devices.size()) return ExitUsage;
  Station running(options, env, station, *file, log, std::move(watched));
  return running.Run();
}

}  // namespace kv
