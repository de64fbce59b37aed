// The production log (--log FILE): after each device's run, one JSON object on one line (JSON Lines)
// with what was flashed where and how it ended. Lines are appended whole, each with a single write to
// a file opened for append, so several flashers on one machine may share a log.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace kv {

struct RunLogRow {
  std::chrono::system_clock::time_point time;  // when the device's run ended
  std::string device;                          // as named on the command line: "COM3", a path, a URL
  std::string file;                            // the HEX file's path as given
  std::string sha256;                          // of the file's bytes, 64 lower-case hex digits
  std::string kind;                            // "MultiSector", ...
  unsigned pages = 0;                          // pages the device took, the forced first page included
  std::string outcome;                         // the outcome's text: "File successfully loaded"
  int exit = 0;                                // that device's exit code
  double seconds = 0;                          // the device's download, open to close
  std::string cause;                           // why it failed (the port, the command); empty on success
  std::string port;  // the port's lasting name (by-id name, Windows' COMn); empty: not written
  std::string slot;  // where the board was plugged in (the station's: by-path name, location path, else
                     // the port's name); empty: not written
};

// The row as one JSON object and its line end.
std::string RunLogLine(const RunLogRow& row);

// "2026-12-07T11:02:03Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

using Sha256Digest = std::array<uint8_t, 32>;
// The platform's SHA-256 (run_log_sha256_nettle.cpp, run_log_sha256_bcrypt.cpp); false when the
// system could not compute it.
bool Sha256(std::span<const uint8_t> bytes, Sha256Digest& digest);
// SHA-256 as 64 lower-case hex digits; empty when it could not be computed.
std::string Sha256Hex(std::span<const uint8_t> bytes);

// Appends `line` to the file at `path` (created when missing) with one write. Returns an empty string,
// or why it failed in the system's words.
std::string AppendLine(const std::string& path, const std::string& line);

}  // namespace kv
