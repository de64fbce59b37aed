#include "cli/flasher.h"

#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/flash_view.h"
#include "image/loaded_file.h"
#include "station/exit_codes.h"
#include "station/plan_report.h"

namespace kv {
namespace {

void PrintSummary(const std::vector<std::unique_ptr<DeviceRun>>& runs, Console& console) {
  char tail[64];
  for (const auto& run : runs) {
    std::snprintf(tail, sizeof tail, " (exit %d, %.1f s)", ExitCodeOfOutcome(run->outcome), run->seconds);
    console.Out("[" + run->target.name + "] ",
                "summary: " + std::string(TextsOf(run->outcome).message) + tail);
  }
}

}  // namespace

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

int LoadForDevices(const FlashOptions& options, FlasherEnvironment& env, LoadedFile& file,
                   std::vector<uint8_t>& bytes) {
  Console& console = env.console;
  file.name = LoadedFileNameFor(options.file);
  ConsoleReaderHost host;
  HexReadDetail detail;
  // The log's digest is of the bytes decoded, read once: a file rewritten meanwhile, or a pipe, could
  // not be read the same a second time.
  const HexReadResult read = ReadHexFile(options.file.c_str(), file.image, file.time, host, &detail,
                                         options.log.empty() ? nullptr : &bytes);
  if (!MaySendAfter(read)) {
    // A broken file is never sent, not even the part that could be read.
    console.Err("", ReaderErrorLine(options.file, read, detail));
    console.Out("", ReadResultText(read));
    return ExitCodeOfRead(read);
  }
  if (!options.quiet) console.Out("", std::string(ReadResultText(read)) + UpperCasePath(options.file));
  if (env.interrupted.load()) return ReportInterrupted(console);
  return ExitSuccess;
}

bool OpenLogOf(const FlashOptions& options, const LoadedFile& file, std::span<const uint8_t> bytes,
               RunLog& log, Console& console) {
  if (options.log.empty()) return true;
  const std::string problem = OpenRunLog(options.log, options.file, file, bytes, log);
  if (!problem.empty()) console.Err("", problem);
  return problem.empty();
}

int ReportInterrupted(Console& console) {
  console.Err("", "Interrupted");
  return ExitInterrupted;
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
  if (!OpenLogOf(options, *file, bytes, log, console)) return ExitUsage;

  // Every port of the run opens what one look found: a gang surveys the ports once, not once a device.
  const PortLook ports = AnyByNumber(options.devices) ? env.ports.Look() : PortLook();
  if (const std::string& notice = ports.Survey().notice; !notice.empty()) console.Err("", notice);
  const bool gang = options.devices.size() > 1;
  const RunEnvironment runs = env.Runs();
  std::vector<std::unique_ptr<DeviceRun>> devices;
  for (const DeviceTarget& target : options.devices) {
    const std::string prefix = gang ? "[" + target.name + "] " : "";
    auto view =
        std::make_unique<FlashView>(console, console.AddSlot(target.name),
                                    FlashViewSettings{prefix, !options.quiet, !options.quiet || !gang});
    devices.push_back(PrepareDevice(target, ports, {std::move(view), options.trace, env.interrupted}, runs));
  }

  std::vector<std::thread> threads;
  for (auto& run : devices) threads.push_back(StartRun(*run, *file, log, env.startThread));
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  console.ClearProgress();
  if (gang) PrintSummary(devices, console);

  if (env.interrupted.load()) return ReportInterrupted(console);
  for (const auto& run : devices) {
    if (run->outcome != DownloadOutcome::Downloaded) return ExitCodeOfOutcome(run->outcome);
  }
  return ExitSuccess;
}

}  // namespace kv
