#include "cli/flasher.h"

#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/fixed_path_port.h"
#include "cli/flash_view.h"
#include "cli/plan_report.h"
#include "cli/run_log.h"
#include "cli/trace_port.h"
#include "download/download.h"
#include "download/file_kind.h"
#include "image/hex_reader.h"
#include "link/port_names.h"
#include "link/system_clock.h"
#include "link/system_port.h"

namespace kv {
namespace {

// Everything one device's download owns; nothing here is shared with another device.
struct DeviceRun {
  DeviceTarget target;
  std::string prefix;
  size_t slot = 0;
  std::unique_ptr<MemoryImage> image;
  BusyFlag busy;
  SerialLink link;
  std::unique_ptr<TracePort> line;  // counts the device's bytes; traces them under --trace
  std::unique_ptr<FlashView> view;
  DownloadOutcome outcome = DownloadOutcome::SerialCommunicationError;
  FailureCause cause;
  double seconds = 0;
};

struct LoadedFile {
  MemoryImage image;
  SystemTime time;
  std::string name;
};

// What every row of the log shares, and the lock that keeps the rows of one run apart.
struct RunLog {
  std::string path;  // empty: no log
  std::string file;
  std::string sha256;
  std::string kind;
  std::mutex lock;
};

void WriteLogRow(const DeviceRun& run, RunLog& log, Console& console) {
  if (log.path.empty()) return;
  const RunLogRow row{std::chrono::system_clock::now(),
                      run.target.name,
                      log.file,
                      log.sha256,
                      log.kind,
                      run.view->PagesDone(),
                      std::string(TextsOf(run.outcome).message),
                      ExitCodeOfOutcome(run.outcome),
                      run.seconds,
                      run.cause.text};
  const std::string line = RunLogLine(row);
  const std::lock_guard guard(log.lock);
  if (const std::string problem = AppendLine(log.path, line); !problem.empty()) {
    console.Err(run.prefix, "cannot write the log " + log.path + ": " + problem);
  }
}

int PlanExitCode(FileKind kind) {
  if (kind == FileKind::Empty) return ExitCodeOfOutcome(DownloadOutcome::EmptyHexFile);
  if (kind == FileKind::Unknown) return ExitCodeOfOutcome(DownloadOutcome::UnknownFile);
  return ExitSuccess;
}

std::unique_ptr<DeviceRun> PrepareDevice(const DeviceTarget& target, const LoadedFile& file, bool gang,
                                         const FlashOptions& options, FlasherEnvironment& env) {
  auto run = std::make_unique<DeviceRun>();
  run->target = target;
  run->prefix = gang ? "[" + target.name + "] " : "";
  run->slot = env.console.AddSlot(target.name);
  run->image = std::make_unique<MemoryImage>(file.image);
  run->link = env.makeLink(target);
  TracePort::Sink sink;
  if (options.trace) {
    sink = [&console = env.console, prefix = run->prefix](std::string_view line) {
      console.Err(prefix, line);
    };
  }
  run->line = std::make_unique<TracePort>(*run->link.port, std::move(sink), env.start);
  FlashViewSettings settings{run->prefix, !options.quiet, !options.quiet || !gang};
  run->view = std::make_unique<FlashView>(env.console, run->slot, settings, *run->line, env.interrupted);
  return run;
}

// Why the download failed, on one line with the fix where there is one: the open's cause, or the
// command and what its last attempt saw. A device that sent nothing at all gets the power-and-cable
// advice.
void ExplainFailure(const DeviceRun& run, Console& console) {
  if (run.cause.text.empty() || run.view->ShutDownByInterrupt()) return;
  console.Err(run.prefix, run.cause.Line());
}

void Download(DeviceRun& run, const LoadedFile& file, Console& console) {
  const auto started = std::chrono::steady_clock::now();
  console.DownloadStarted(run.slot);
  const int portNumber = run.target.portNumber;
  DownloadContext context{*run.image, file.name,       file.time, portNumber, run.busy,
                          *run.line,  *run.link.clock, *run.view, &run.cause};
  run.outcome = RunDownload(context);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ExplainFailure(run, console);
}

void PrintSummary(const std::vector<std::unique_ptr<DeviceRun>>& runs, Console& console) {
  char tail[64];
  for (const auto& run : runs) {
    std::snprintf(tail, sizeof tail, " (exit %d, %.1f s)", ExitCodeOfOutcome(run->outcome), run->seconds);
    console.Out(run->prefix, "summary: " + std::string(TextsOf(run->outcome).message) + tail);
  }
}

// Creates the log if it is missing: a line that cannot keep its log should not flash at all.
bool LogWritable(const std::string& path, Console& console) {
  if (path.empty()) return true;
  const std::string problem = AppendLine(path, {});
  if (problem.empty()) return true;
  console.Err("", "cannot write the log " + path + ": " + problem);
  return false;
}

int Interrupted(Console& console) {
  console.Err("", "Interrupted");
  return ExitInterrupted;
}

}  // namespace

SerialLink MakeSerialLink(const DeviceTarget& target) {
  SerialLink link;
  link.clock = std::make_unique<SystemClock>();
  if (target.ByPath()) {
    link.port = std::make_unique<FixedPathPort<SystemPort>>(target.devicePath, *link.clock);
  } else {
    link.port = std::make_unique<SystemPort>(*link.clock);
  }
  return link;
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
  file->name = LoadedFileNameFor(options.file);
  ConsoleReaderHost host;
  HexReadDetail detail;
  // The log's digest is of the bytes decoded, read once: a file rewritten meanwhile, or a pipe, could
  // not be read the same a second time.
  std::vector<uint8_t> bytes;
  const HexReadResult read = ReadHexFile(options.file.c_str(), file->image, file->time, host, &detail,
                                         options.log.empty() ? nullptr : &bytes);
  if (!MaySendAfter(read)) {
    // A broken file is never sent, not even the part that could be read.
    console.Err("", ReaderErrorLine(options.file, read, detail));
    console.Out("", ReadResultText(read));
    return ExitCodeOfRead(read);
  }
  if (!options.quiet) console.Out("", std::string(ReadResultText(read)) + UpperCasePath(options.file));
  if (env.interrupted.load()) return Interrupted(console);

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

  if (!LogWritable(options.log, console)) return ExitUsage;
  RunLog log;
  log.path = options.log;
  if (!log.path.empty()) {
    log.file = options.file;
    log.sha256 = Sha256Hex(bytes);
    log.kind = std::string(FileKindName(ClassifyImage(file->image.Pages()).kind));
  }

  const bool gang = options.devices.size() > 1;
  std::vector<std::unique_ptr<DeviceRun>> runs;
  for (const DeviceTarget& target : options.devices)
    runs.push_back(PrepareDevice(target, *file, gang, options, env));

  std::vector<std::thread> threads;
  for (auto& run : runs) {
    threads.emplace_back([&run, &file, &console, &log] {
      Download(*run, *file, console);
      WriteLogRow(*run, log, console);
    });
  }
  for (std::thread& thread : threads) thread.join();
  console.ClearProgress();
  if (gang) PrintSummary(runs, console);

  if (env.interrupted.load()) return Interrupted(console);
  for (const auto& run : runs) {
    if (run->outcome != DownloadOutcome::Downloaded) return ExitCodeOfOutcome(run->outcome);
  }
  return ExitSuccess;
}

}  // namespace kv
