#include "station/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kv {

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<seconds>(time - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  Sha256Digest digest{};
  if (!Sha256(bytes, digest)) return {};
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += Hex[byte >> 4];
    text += Hex[byte & 0x0F];
  }
  return text;
}

std::string RunLogLine(const RunLogRow& row) {
  // Seconds to the millisecond: more digits only pretend to a precision the run does not have. Rounded
  // by hand (a run's time is never negative): std::round alone would tie the flasher to the shared
  // maths library, and loading that costs every start more than a whole download's rounding.
  const double seconds = static_cast<double>(static_cast<int64_t>(row.seconds * 1000.0 + 0.5)) / 1000.0;
  nlohmann::ordered_json object = {
      {"time", UtcTimestamp(row.time)},
      {"device", row.device},
      {"file", row.file},
      {"sha256", row.sha256},
      {"kind", row.kind},
      {"pages", row.pages},
      {"outcome", row.outcome},
      {"exit", row.exit},
      {"seconds", seconds},
      {"cause", row.cause},
  };
  if (!row.port.empty()) object["port"] = row.port;
  if (!row.slot.empty()) object["slot"] = row.slot;
  // A path in the system's own code page is not always UTF-8: replace what is not, never throw.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string AppendLine(const std::string& path, const std::string& line) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return std::strerror(errno);
  // Unbuffered, so that the whole line goes out in the one write of fwrite.
  std::setvbuf(file, nullptr, _IONBF, 0);
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written) return std::strerror(writeError);
  if (!closed) return std::strerror(errno);
  return {};
}

}  // namespace kv
