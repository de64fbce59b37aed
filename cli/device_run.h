// One device's download as the flasher runs it, in a normal run (one device or a gang) and in the
// station alike: the file is read once and shared read-only; each device has its own image copy, port,
// clock, busy flag and view, and after its run one row in the log. Only the lines around it differ
// (FlashViewSettings), and where its progress goes (a console slot, or none). A device given by number
// opens what its run's one look at the ports found (PortLook).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cli/flash_view.h"
#include "cli/flasher.h"
#include "cli/trace_port.h"
#include "download/download.h"
#include "image/memory_image.h"

namespace kv {

// The file as every device gets it.
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

// Everything one device's download owns; nothing here is shared with another device.
struct DeviceRun {
  DeviceTarget target;
  std::string identity;  // the port's lasting name for the log (by-id name, COMn); empty: not known
  std::string prefix;
  size_t slot = NoProgressSlot;
  std::unique_ptr<MemoryImage> image;  // the file's image, copied by Download on the device's thread
  BusyFlag busy;
  SerialLink link;
  std::unique_ptr<TracePort> tracedPort;  // the link's port, its bytes counted and traced under --trace
  std::unique_ptr<FlashView> view;
  DownloadOutcome outcome = DownloadOutcome::SerialCommunicationError;
  FailureCause cause;
  double seconds = 0;
};

// How a device's run shows and when it is cut short.
struct DeviceSetup {
  FlashViewSettings view;
  size_t slot = NoProgressSlot;                 // its progress on the console, or none
  bool trace = false;                           // every packet and reply byte on standard error
  const std::atomic<bool>* shutDown = nullptr;  // set: the port is shut as the window's closing does
};

// The device's run, its port made to open what `ports` resolves (the run's look, which outlives it).
std::unique_ptr<DeviceRun> PrepareDevice(const DeviceTarget& target, const PortResolver& ports,
                                         const DeviceSetup& setup, FlasherEnvironment& env);

// Copies the image and runs the download; a failure's cause goes to standard error (not for a port shut
// on purpose).
void Download(DeviceRun& run, const LoadedFile& file, Console& console);

// Appends the device's row to the log, if there is one.
void WriteLogRow(const DeviceRun& run, RunLog& log, Console& console);

// Runs Download and then WriteLogRow on a thread of its own (env.startThread), which calls `ended`
// last. When no thread can be had the run fails at once with the cause ("cannot start a run: ..."),
// said and logged like any failed run, and `ended` is called here; the thread returned is then not
// joinable.
std::thread StartRun(DeviceRun& run, const LoadedFile& file, RunLog& log, FlasherEnvironment& env,
                     std::function<void()> ended = {});

// Reads the file once for every device and prints "Loaded file: ..." (not under --quiet). Returns
// ExitSuccess, or the code the run ends with after the reader's failure or an interrupt, said already.
// `bytes` receives the bytes read when the log needs their digest.
int LoadForDevices(const FlashOptions& options, FlasherEnvironment& env, LoadedFile& file,
                   std::vector<uint8_t>& bytes);

// Makes sure the log can be written before any device is touched, and fills what its rows share.
// False, said on standard error, when it cannot.
bool OpenRunLog(const FlashOptions& options, const LoadedFile& file, std::span<const uint8_t> bytes,
                RunLog& log, Console& console);

// Says "Interrupted" on standard error; returns the exit code of an interrupted run.
int ReportInterrupted(Console& console);

}  // namespace kv
