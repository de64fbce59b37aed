#include "station/device_run.h"

#include <system_error>

#include "base/system_error.h"
#include "download/file_kind.h"
#include "line/system_clock.h"
#include "ports/system_port.h"
#include "station/daily_log.h"
#include "station/exit_codes.h"
#include "station/fixed_path_port.h"
#include "station/run_log.h"

namespace kv {
namespace {

// Why the download failed, on one line with the fix where there is one: the open's cause, or the
// command and what its last attempt saw. A device that sent nothing at all gets the power-and-cable
// advice.
void ExplainFailure(const DeviceRun& run) {
  if (run.cause.text.empty() || run.view->ShutDownByInterrupt()) return;
  run.shows->Problem(run.cause.Line());
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

std::unique_ptr<DeviceRun> PrepareDevice(const DeviceTarget& target, const PortResolver& ports,
                                         DeviceSetup setup, const RunEnvironment& env) {
  auto run = std::make_unique<DeviceRun>();
  run->target = target;
  run->link = env.makeLink(target, ports);
  run->shows = std::move(setup.view);
  TracePort::Sink sink;
  if (setup.trace) sink = [&shows = *run->shows](std::string_view line) { shows.Trace(line); };
  run->tracedPort = std::make_unique<TracePort>(*run->link.port, std::move(sink), env.start);
  run->view = std::make_unique<RunView>(*run->shows, *run->tracedPort, setup.shutDown);
  return run;
}

void Download(DeviceRun& run, const LoadedFile& file) {
  // Copied here, on the device's own thread: a gang's last device does not wait for every copy before
  // its own to start (half a megabyte each).
  run.image = std::make_unique<MemoryImage>(file.image);
  const auto started = std::chrono::steady_clock::now();
  run.shows->Started();
  const int portNumber = run.target.portNumber;
  // The view's line: a stop ends even a wait that never reaches a turn of its event loop.
  DownloadContext context{*run.image,       file.name,       file.time, portNumber, run.busy,
                          run.view->Line(), *run.link.clock, *run.view, &run.cause};
  run.outcome = RunDownload(context);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ExplainFailure(run);
}

void WriteLogRow(DeviceRun& run, RunLog& log) {
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
                      run.cause.text,
                      run.identity,
                      run.slot};
  const std::string line = RunLogLine(row);
  const std::lock_guard guard(log.lock);
  // A shift past midnight goes on in the next day's file.
  if (!log.dailyFolder.empty()) log.path = DailyLogPath(log.dailyFolder, row.time);
  if (const std::string problem = AppendLine(log.path, line); !problem.empty()) {
    run.logProblem = "cannot write the log " + log.path + ": " + problem;
    run.shows->Problem(run.logProblem);
  }
}

std::thread StartRun(DeviceRun& run, const LoadedFile& file, RunLog& log, const ThreadStarter& startThread,
                     std::function<void()> ended) {
  StartedThread started = startThread([&run, &file, &log, ended] {
    Download(run, file);
    WriteLogRow(run, log);
    if (ended) ended();
  });
  if (started.thread.joinable()) return std::move(started.thread);
  run.outcome = DownloadOutcome::SerialCommunicationError;
  run.cause = {"cannot start a run: " + started.problem, {}};
  run.view->ShowMessage(TextsOf(run.outcome).message);
  run.shows->Problem(run.cause.Line());
  WriteLogRow(run, log);
  if (ended) ended();
  return {};
}

std::string OpenRunLog(const std::string& path, const std::string& fileName, const LoadedFile& file,
                       std::span<const uint8_t> bytes, RunLog& log) {
  // Created if it is missing: a line that cannot keep its log should not flash at all.
  if (const std::string problem = AppendLine(path, {}); !problem.empty()) {
    return "cannot write the log " + path + ": " + problem;
  }
  log.path = path;
  log.file = fileName;
  log.sha256 = Sha256Hex(bytes);
  log.kind = std::string(FileKindName(ClassifyImage(file.image.Pages()).kind));
  return {};
}

}  // namespace kv
