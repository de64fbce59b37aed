// A Port that passes everything to the real one, counts the reply bytes it reads, and (given a sink)
// reports every packet written and every reply byte read, one line each, with the milliseconds since
// the run started: "  1523 ms > A2 10 00 4E". A network line's round trip is traced when it is first
// known and whenever it changes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "line/port.h"

namespace kv {

// Room for the longest packet (261 bytes at three characters each) and the time in front of it.
inline constexpr size_t TraceLineCapacity = 1024;
using TraceLine = std::array<char, TraceLineCapacity>;

// Formats one trace line into `line`; `direction` is '>' for sent, '<' for received. Returns its text.
std::string_view FormatTraceLine(TraceLine& line, uint64_t ms, char direction, const uint8_t* bytes,
                                 size_t count);

class TracePort : public Port {
 public:
  using Sink = std::function<void(std::string_view line)>;  // empty: count only, no lines
  TracePort(Port& inner, Sink sink, std::chrono::steady_clock::time_point start)
      : inner_(inner), sink_(std::move(sink)), start_(start) {}

  // Traces the network's round trip when the line has one ("round trip 103 ms").
  int OpenPort(int n) override;
  const OpenError& LastOpenError() const override { return inner_.LastOpenError(); }
  void ClosePort() override { inner_.ClosePort(); }
  void ShutdownPort() override { inner_.ShutdownPort(); }
  bool IsOpen() const override { return inner_.IsOpen(); }
  bool PortFlush() override { return inner_.PortFlush(); }
  bool PortWrite(const uint8_t* bytes, size_t count) override;
  ReadResult PortReadByte() override;
  bool PortDiscardInput() override { return inner_.PortDiscardInput(); }
  const PortFault& LastFault() const override { return inner_.LastFault(); }
  uint32_t RoundTripMs() const override { return inner_.RoundTripMs(); }
  bool LearnsRoundTrip() const override { return inner_.LearnsRoundTrip(); }
  void NoteAcknowledgeDelay(uint32_t ms) override;

  // Bytes the device has sent so far: none at all means it never answered.
  size_t BytesReceived() const { return received_; }

 private:
  void Report(char direction, const uint8_t* bytes, size_t count);
  void ReportRoundTrip();
  uint64_t SinceStartMs() const;

  Port& inner_;
  Sink sink_;
  std::chrono::steady_clock::time_point start_;
  TraceLine line_{};
  size_t received_ = 0;
  uint32_t roundTripShown_ = 0;
};

}  // namespace kv
