// The simulated device on a pseudo-terminal: creates the terminal, serves the device's side of the
// line until stopped, and keeps the --link, --dump and --trace files. Used by the kv6193-sim program
// and, in-process on a thread of its own, by tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "sim/device.h"
#include "sim/options.h"

namespace kv::sim {

class PtyServer {
 public:
  explicit PtyServer(SimOptions options);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Loads --flash, creates the terminal in raw mode, the --link and the --trace file. False, with
  // the reason in `why`, when any of it fails.
  bool Open(std::string& why);
  // The terminal's path, for the host to open (valid after Open).
  const std::string& SlavePath() const { return slavePath_; }

  // Serves until Stop(); then writes the last dump, removes the link and closes everything.
  void Run();
  // Asks Run to end. Safe from any thread and from a signal handler.
  void Stop();

  // Open, then Run on a thread of its own; Join stops it and waits for it.
  bool Start(std::string& why);
  void Join();

 private:
  class TraceFile;

  void SendDueReplies(uint64_t now);
  void ReadFromHost();
  void HangUp();
  void ReleaseStaleExclusiveMark();
  void WriteDump();
  void CloseLine();                           // the terminal and the link
  int64_t PollTimeoutNs(uint64_t now) const;  // -1: nothing to wait for but the host

  SimOptions options_;
  std::unique_ptr<TraceFile> trace_;
  Device device_;
  std::string slavePath_;
  int master_ = -1;
  int slaveKeeper_ = -1;  // our own slave descriptor: the host closing its own never hangs the line up
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool linkMade_ = false;
  bool writeBlocked_ = false;      // the terminal's buffer is full: wait until it drains
  uint64_t masterQuietUntil_ = 0;  // after an error on the master, leave it alone until then
  uint64_t nextMarkCheck_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kv::sim
