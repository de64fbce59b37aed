// One run of the flasher: load the file once with the window's reader, then either describe the plan
// or download it to every device at once, one thread per device, each with its own image copy, port,
// clock and busy flag (station/device_run.h). Platform pieces (the real port, the interrupt flag) come
// in from outside, so this runs unchanged on fakes in the tests and on any platform.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/options.h"
#include "image/hex_reader.h"
#include "ports/port_names.h"
#include "station/device_run.h"

namespace kv {

struct FlasherEnvironment {
  Console& console;
  const PortDirectory& ports;  // what COMn stands for, looked at once per run; where the station looks
  LinkMaker makeLink;
  const std::atomic<bool>& interrupted;
  std::chrono::steady_clock::time_point start;  // trace times count from here
  ThreadStarter startThread = StartThread;

  RunEnvironment Runs() const { return {makeLink, startThread, start}; }
};

// Runs the options (devices already resolved, at least one unless --plan) and returns the exit code.
int RunFlasher(const FlashOptions& options, FlasherEnvironment& environment);

// Reads the file once for every device and prints "Loaded file: ..." (not under --quiet). Returns
// ExitSuccess, or the code the run ends with after the reader's failure or an interrupt, said already.
// `bytes` receives the bytes read when the log needs their digest.
int LoadForDevices(const FlashOptions& options, FlasherEnvironment& env, LoadedFile& file,
                   std::vector<uint8_t>& bytes);

// Opens the log of --log, if any (OpenRunLog). False, said on standard error, when it cannot be written.
bool OpenLogOf(const FlashOptions& options, const LoadedFile& file, std::span<const uint8_t> bytes,
               RunLog& log, Console& console);

// Says "Interrupted" on standard error; returns the exit code of an interrupted run.
int ReportInterrupted(Console& console);

// The reader's failure for standard error: "cannot open fw.hex: permission denied",
// "fw.hex:12: checksum 3D, expected 3C".
std::string ReaderErrorLine(const std::string& file, HexReadResult result, const HexReadDetail& detail);

// No progress under --quiet; a live line on a terminal; plain lines in a file or a pipe.
ProgressStyle ProgressStyleFor(bool quiet, bool terminal);

}  // namespace kv
