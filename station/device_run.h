// One device's download, in a normal run (one device or a gang) and at the station alike: the file is
// read once and shared read-only; each device has its own image copy, port, clock, busy flag and view,
// and after its run one row in the log. What it shows goes to the DeviceView its front end gives
// (run_view.h): console lines or a tile. A device given by number opens what its run's one look at the
// ports found (PortLook).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "download/download.h"
#include "image/memory_image.h"
#include "line/port.h"
#include "ports/port_names.h"
#include "station/device_target.h"
#include "station/run_view.h"
#include "station/trace_port.h"

namespace kv {

// The file as every device gets it.
struct LoadedFile {
  MemoryImage image;
  SystemTime time;
  std::string name;
};

// What every row of the log shares, and the lock that keeps the rows of one run apart.
struct RunLog {
  std::string path;         // empty: no log
  std::string dailyFolder;  // set: each row goes into its own day's file here (daily_log.h)
  std::string file;
  std::string sha256;
  std::string kind;
  std::mutex lock;
};

// A device's line: the port, and the clock it pauses with (the port may refer to the clock).
struct SerialLink {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<Port> port;  // opens the target whatever port number the download gives it
};

// The real line for a target: by number as `ports` resolves it, or by path; a serial device of this
// platform or a network line. `ports` outlives the link.
SerialLink MakeSerialLink(const DeviceTarget& target, const PortResolver& ports);
using LinkMaker = std::function<SerialLink(const DeviceTarget& target, const PortResolver& ports)>;

// A thread started, or the system's words for why none could be ("resource temporarily unavailable").
struct StartedThread {
  std::thread thread;  // not joinable when none was started
  std::string problem;
};
// Runs `work` on a thread of its own. The one place the runs' threads are made: a system out of them
// fails the device that needed one, never the whole program.
using ThreadStarter = std::function<StartedThread(std::function<void()> work)>;
StartedThread StartThread(std::function<void()> work);

// What a device's run takes from the program that runs it.
struct RunEnvironment {
  LinkMaker makeLink = MakeSerialLink;
  ThreadStarter startThread = StartThread;
  std::chrono::steady_clock::time_point start{};  // trace times count from here
};

// Everything one device's download owns; nothing here is shared with another device.
struct DeviceRun {
  DeviceTarget target;
  std::string identity;  // the port's lasting name for the log (by-id name, COMn); empty: not known
  std::string slot;      // where the board is plugged in, for the log (the station's); empty: not written
  std::unique_ptr<MemoryImage> image;  // the file's image, copied by Download on the device's thread
  BusyFlag busy;
  SerialLink link;
  std::unique_ptr<TracePort> tracedPort;  // the link's port, its bytes counted and traced when asked
  std::unique_ptr<DeviceView> shows;      // what the run shows
  std::unique_ptr<RunView> view;          // the download's view, over `shows` and the traced port
  DownloadOutcome outcome = DownloadOutcome::SerialCommunicationError;
  FailureCause cause;
  double seconds = 0;
  std::string logProblem;  // "cannot write the log LOG: why" when its row was lost
};

// How a device's run shows and when it is cut short.
struct DeviceSetup {
  std::unique_ptr<DeviceView> view;
  bool trace = false;                 // every packet and reply byte to the view's Trace
  const std::atomic<bool>& shutDown;  // set: the port is shut as the window's closing does
};

// The device's run, its port made to open what `ports` resolves (the run's look, which outlives it).
std::unique_ptr<DeviceRun> PrepareDevice(const DeviceTarget& target, const PortResolver& ports,
                                         DeviceSetup setup, const RunEnvironment& env);

// Copies the image and runs the download; a failure's cause goes to the view's Problem (not for a port
// shut on purpose).
void Download(DeviceRun& run, const LoadedFile& file);

// Appends the device's row to the log, if there is one; a row that cannot be written is told to the
// view and kept in the run's logProblem.
void WriteLogRow(DeviceRun& run, RunLog& log);

// Runs Download and then WriteLogRow on a thread of its own (`startThread`), which calls `ended`
// last. When no thread can be had the run fails at once with the cause ("cannot start a run: ..."),
// shown and logged like any failed run, and `ended` is called here; the thread returned is then not
// joinable.
std::thread StartRun(DeviceRun& run, const LoadedFile& file, RunLog& log, const ThreadStarter& startThread,
                     std::function<void()> ended = {});

// Makes sure the log at `path` can be written before any device is touched (making the file when it
// is missing), and fills what its rows share: `fileName` as given, the digest of `bytes` and the kind.
// Returns "", or "cannot write the log LOG: why".
std::string OpenRunLog(const std::string& path, const std::string& fileName, const LoadedFile& file,
                       std::span<const uint8_t> bytes, RunLog& log);

}  // namespace kv
