#include "cli/station.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/joined.h"
#include "station/exit_codes.h"
#include "station/plan_report.h"
#include "station/station.h"

namespace kv {
namespace {

// The station's events as lines: on standard output what happens to each board (not under --quiet,
// but for each board's end), the causes and traces on standard error, the tally in the progress
// line's place.
class StationLines : public StationObserver {
 public:
  StationLines(Console& console, bool quiet, std::string watching)
      : console_(console), quiet_(quiet), watching_(std::move(watching)) {}

  void FirstLook(const std::vector<StationPort>& leftAlone) override {
    if (!leftAlone.empty()) {
      Say("", "Left alone until unplugged and plugged in again: " +
                  Joined(leftAlone, [](const StationPort& port) -> const std::string& { return port.name; }));
    }
    Say("", "Waiting for boards on " + watching_ + "; Ctrl-C stops");
  }
  void BoardStarted(const StationPort& port) override {
    Say(Prefix(port), port.identity == port.name ? "started" : "started: " + port.identity);
  }
  void BoardProgress(const StationPort& /*port*/, unsigned /*done*/, unsigned /*pages*/) override {}
  void BoardEnded(const StationPort& port, const BoardResult& result) override {
    const std::string prefix = Prefix(port);
    if (!result.cause.empty()) console_.Err(prefix, result.cause);
    if (!result.logProblem.empty()) console_.Err(prefix, result.logProblem);
    char time[32];
    std::snprintf(time, sizeof time, " (%.1f s)", result.seconds);
    console_.Out(prefix, std::string(TextsOf(result.outcome).message) + time);
  }
  void PortGone(const StationPort& port) override { Say(Prefix(port), "removed"); }
  void TallyChanged(const StationTally& tally) override { console_.ShowStatus(TallyText(tally)); }
  void StoppingOnceRunsEnd() override {
    Say("", "Stopping once the running downloads end; Ctrl-C again shuts them down");
  }
  void BoardTrace(const StationPort& port, std::string_view line) override {
    console_.Err(Prefix(port), line);
  }
  void Ended(int /*exitCode*/) override {}

  // A line on standard output, not under --quiet.
  void Say(std::string_view prefix, const std::string& text) {
    if (!quiet_) console_.Out(prefix, text);
  }

 private:
  static std::string Prefix(const StationPort& port) { return "[" + port.name + "] "; }

  Console& console_;
  const bool quiet_;
  const std::string watching_;  // "every serial port", or the given ports' names
};

std::string WatchedNames(const FlashOptions& options) {
  return Joined(options.devices,
                [](const DeviceTarget& target) -> const std::string& { return target.name; });
}

// --on-enter: a round at each Enter, each waited for, until the input ends or Ctrl-C comes.
void FlashAtEachEnter(Station& running, const FlashOptions& options, StationEnvironment& station,
                      StationLines& lines) {
  const auto stopping = [&station] { return station.interrupts.load() > 0; };
  while (!stopping()) {
    lines.Say("", "Press Enter to flash " + WatchedNames(options) + "; Ctrl-C stops");
    if (!station.waitForEnter() || stopping()) break;
    running.FlashAll();
    running.WaitUntilIdle();
  }
  running.Stop();
}

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
  if (!OpenLogOf(options, *file, bytes, log, console)) return ExitUsage;

  StationLines lines(console, options.quiet,
                     options.devices.empty() ? std::string("every serial port") : WatchedNames(options));
  Station running({*file, log, env.ports, env.Runs(), options.devices, options.onEnter, options.trace,
                   &station.interrupts, station.interruptWake},
                  lines);
  const StationStart start = running.Start();
  if (!start.notice.empty()) console.Err("", start.notice);
  if (!start.started) {
    console.Err("", start.problem);
    return ExitUsage;
  }
  if (options.onEnter) FlashAtEachEnter(running, options, station, lines);
  running.WaitUntilEnded();
  console.ClearProgress();
  console.Out("", TallyText(running.Tally()));
  const int code = running.ExitCode();
  return code == ExitInterrupted ? ReportInterrupted(console) : code;
}

}  // namespace kv
