#include "cli/device_run.h"

#include "cli/exit_codes.h"
#include "cli/run_log.h"
#include "download/file_kind.h"
#include "image/hex_reader.h"
#include "image/loaded_file.h"

namespace kv {
namespace {

// Why the download failed, on one line with the fix where there is one: the open's cause, or the
// command and what its last attempt saw. A device that sent nothing at all gets the power-and-cable
// advice.
void ExplainFailure(const DeviceRun& run, Console& console) {
  if (run.cause.text.empty() || run.view->ShutDownByInterrupt()) return;
  console.Err(run.prefix, run.cause.Line());
}

}  // namespace

std::unique_ptr<DeviceRun> PrepareDevice(const DeviceTarget& target, const PortResolver& ports,
                                         const DeviceSetup& setup, FlasherEnvironment& env) {
  auto run = std::make_unique<DeviceRun>();
  run->target = target;
  run->prefix = setup.view.prefix;
  run->slot = setup.slot;
  run->link = env.makeLink(target, ports);
  TracePort::Sink sink;
  if (setup.trace) {
    sink = [&console = env.console, prefix = run->prefix](std::string_view line) {
      console.Err(prefix, line);
    };
  }
  run->tracedPort = std::make_unique<TracePort>(*run->link.port, std::move(sink), env.start);
  const std::atomic<bool>& shutDown = setup.shutDown != nullptr ? *setup.shutDown : env.interrupted;
  run->view = std::make_unique<FlashView>(env.console, run->slot, setup.view, *run->tracedPort, shutDown);
  return run;
}

void Download(DeviceRun& run, const LoadedFile& file, Console& console) {
  // Copied here, on the device's own thread: a gang's last device does not wait for every copy before
  // its own to start (half a megabyte each).
  run.image = std::make_unique<MemoryImage>(file.image);
  const auto started = std::chrono::steady_clock::now();
  console.DownloadStarted(run.slot);
  const int portNumber = run.target.portNumber;
  // The view's line: an interrupt ends even a wait that never reaches a turn of its event loop.
  DownloadContext context{*run.image,       file.name,       file.time, portNumber, run.busy,
                          run.view->Line(), *run.link.clock, *run.view, &run.cause};
  run.outcome = RunDownload(context);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ExplainFailure(run, console);
}

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
                      run.cause.text,
                      run.identity};
  const std::string line = RunLogLine(row);
  const std::lock_guard guard(log.lock);
  if (const std::string problem = AppendLine(log.path, line); !problem.empty()) {
    console.Err(run.prefix, "cannot write the log " + log.path + ": " + problem);
  }
}

std::thread StartRun(DeviceRun& run, const LoadedFile& file, RunLog& log, FlasherEnvironment& env,
                     std::function<void()> ended) {
  Console& console = env.console;
  StartedThread started = env.startThread([&run, &file, &log, &console, ended] {
    Download(run, file, console);
    WriteLogRow(run, log, console);
    if (ended) ended();
  });
  if (started.thread.joinable()) return std::move(started.thread);
  run.outcome = DownloadOutcome::SerialCommunicationError;
  run.cause = {"cannot start a run: " + started.problem, {}};
  run.view->ShowMessage(TextsOf(run.outcome).message);
  console.Err(run.prefix, run.cause.Line());
  WriteLogRow(run, log, console);
  if (ended) ended();
  return {};
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

bool OpenRunLog(const FlashOptions& options, const LoadedFile& file, std::span<const uint8_t> bytes,
                RunLog& log, Console& console) {
  if (options.log.empty()) return true;
  // Created if it is missing: a line that cannot keep its log should not flash at all.
  if (const std::string problem = AppendLine(options.log, {}); !problem.empty()) {
    console.Err("", "cannot write the log " + options.log + ": " + problem);
    return false;
  }
  log.path = options.log;
  log.file = options.file;
  log.sha256 = Sha256Hex(bytes);
  log.kind = std::string(FileKindName(ClassifyImage(file.image.Pages()).kind));
  return true;
}

int ReportInterrupted(Console& console) {
  console.Err("", "Interrupted");
  return ExitInterrupted;
}

}  // namespace kv
