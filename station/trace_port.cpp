#include "station/trace_port.h"

#include <cstdio>

namespace kv {

std::string_view FormatTraceLine(TraceLine& line, uint64_t ms, char direction, const uint8_t* bytes,
                                 size_t count) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  int used =
      std::snprintf(line.data(), line.size(), "%6llu ms %c", static_cast<unsigned long long>(ms), direction);
  size_t length = used > 0 ? static_cast<size_t>(used) : 0;
  for (size_t i = 0; i < count && length + 3 <= line.size(); ++i) {
    line[length++] = ' ';
    line[length++] = Digits[bytes[i] >> 4];
    line[length++] = Digits[bytes[i] & 0x0F];
  }
  return {line.data(), length};
}

bool TracePort::PortWrite(const uint8_t* bytes, size_t count) {
  const bool written = inner_.PortWrite(bytes, count);
  if (written) Report('>', bytes, count);
  return written;
}

ReadResult TracePort::PortReadByte() {
  const ReadResult result = inner_.PortReadByte();
  if (result.status == ReadStatus::Byte) {
    ++received_;
    Report('<', &result.byte, 1);
  }
  return result;
}

int TracePort::OpenPort(int n) {
  roundTripShown_ = 0;
  const int result = inner_.OpenPort(n);
  if (result == 0) ReportRoundTrip();
  return result;
}

void TracePort::NoteAcknowledgeDelay(uint32_t ms) {
  inner_.NoteAcknowledgeDelay(ms);
  ReportRoundTrip();
}

uint64_t TracePort::SinceStartMs() const {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
  return static_cast<uint64_t>(ms.count());
}

void TracePort::Report(char direction, const uint8_t* bytes, size_t count) {
  if (!sink_) return;
  sink_(FormatTraceLine(line_, SinceStartMs(), direction, bytes, count));
}

void TracePort::ReportRoundTrip() {
  const uint32_t roundTrip = inner_.RoundTripMs();
  if (!sink_ || roundTrip == roundTripShown_) return;
  roundTripShown_ = roundTrip;
  const int used = std::snprintf(line_.data(), line_.size(), "%6llu ms   round trip to the line %u ms",
                                 static_cast<unsigned long long>(SinceStartMs()), roundTrip);
  sink_(std::string_view(line_.data(), used > 0 ? static_cast<size_t>(used) : 0));
}

}  // namespace kv
