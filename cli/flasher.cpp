#include "cli/flasher.h"

#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/system_error.h"
#include "cli/device_run.h"
#include "cli/exit_codes.h"
#include "cli/fixed_path_port.h"
#include "cli/plan_report.h"
#include "line/system_clock.h"
#include "ports/system_port.h"

namespace kv {
namespace {

void PrintSummary(const std::vector<std::unique_ptr<DeviceRun>>& runs, Console& console) {
  char tail[64];
  for (const auto& run : runs) {
    std::snprintf(tail, sizeof tail, " (exit %d, %.1f s)", ExitCodeOfOutcome(run->outcome), run->seconds);
    console.Out(run->prefix, "summary: " + std::string(TextsOf(run->outcome).message) + tail);
  }
}

}  // namespace

SerialLink MakeSerialLink(const DeviceTarget& target, const PortResolver& ports) {
  SerialLink link;
  link.clock = std::make_unique<SystemClock>();
  if (target.ByPath()) {
    link.port = std::make_unique<FixedPathPort<SystemPort>>(target.devicePath, *link.clock, ports);
  } else {
    link.port = std::make_unique<SystemPort>(*link.clock, ports);
  }
  return link;
}

StartedThread StartThread(std::function<void()> work) {
  try {
    return {std::thread(std::move(work)), {}};
  } catch (const std::system_error& error) {
    return {std::thread(), LowerFirst(error.code().message())};
  }
}

ProgressStyle ProgressStyleFor(bool quiet, bool terminal) {
  if (quiet) return ProgressStyle::None;
  return terminal ? ProgressStyle::Live : ProgressStyle::Lines;
}

std::string ReaderErrorLine(const std::string& file, HexReadResult result, const HexReadDetail& detail) {
  if (result == CannotOpen) return "cannot open " + file + ": " + detail.text;
  std::string line = file + ":";
  if (detail.line != 0) line += std::to_string(detail.line) + ":";
  return line + " " + detail.text;
}

int RunFlasher(const FlashOptions& options, FlasherEnvironment& env) {
  Console& console = env.console;
  auto file = std::make_unique<LoadedFile>();
  std::vector<uint8_t> bytes;
  if (const int code = LoadForDevices(options, env, *file, bytes); code != ExitSuccess) return code;

  if (options.plan) {
    const PlanReport report = DescribePlan(file->image.Pages());
    std::string_view text = report.text;
    while (!text.empty()) {
      const size_t end = text.find('\n');
      console.Out("", text.substr(0, end));
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return PlanExitCode(report.kind);
  }

  RunLog log;
  if (!OpenRunLog(options, *file, bytes, log, console)) return ExitUsage;

  // Every port of the run opens what one look found: a gang surveys the ports once, not once a device.
  const PortLook ports = AnyByNumber(options.devices) ? env.ports.Look() : PortLook();
  if (const std::string& notice = ports.Survey().notice; !notice.empty()) console.Err("", notice);
  const bool gang = options.devices.size() > 1;
  std::vector<std::unique_ptr<DeviceRun>> runs;
  for (const DeviceTarget& target : options.devices) {
    const std::string prefix = gang ? "[" + target.name + "] " : "";
    const DeviceSetup setup{
        {prefix, !options.quiet, !options.quiet || !gang}, console.AddSlot(target.name), options.trace};
    runs.push_back(PrepareDevice(target, ports, setup, env));
  }

  std::vector<std::thread> threads;
  for (auto& run : runs) threads.push_back(StartRun(*run, *file, log, env));
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  console.ClearProgress();
  if (gang) PrintSummary(runs, console);

  if (env.interrupted.load()) return ReportInterrupted(console);
  for (const auto& run : runs) {
    if (run->outcome != DownloadOutcome::Downloaded) return ExitCodeOfOutcome(run->outcome);
  }
  return ExitSuccess;
}

}  // namespace kv
