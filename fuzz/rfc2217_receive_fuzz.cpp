// Fuzzes what an RFC 2217 server sends, which is untrusted input. The first byte of the input picks
// how it is cut into reads; the rest is the server's byte stream after a good open. Besides the
// sanitizers' checks it traps when:
//  - reading never ends (every read must take a byte, or give up, and the stream is finite);
//  - a read hands out more data bytes than the server sent;
//  - the port answers more than 3 bytes per 3 bytes received (answers must not outgrow the input);
//  - the same stream decoded in one piece gives other data bytes than when cut into reads.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "net/network_port.h"

namespace {

#define NotTraced __attribute__((no_sanitize("coverage")))

NotTraced void Check(bool condition) {
  if (!condition) std::abort();
}

class StepClock : public kv::Clock {
 public:
  void Sleep(uint32_t ms) override { now += ms; }
  uint64_t NowMs() override { return now; }
  uint64_t now = 0;
};

// Plays a server that agrees to COM-PORT-OPTION, confirms our settings once they are sent, then sends
// the fuzzer's bytes in reads of the chosen sizes, then closes the connection.
class FuzzSocket : public kv::Socket {
 public:
  FuzzSocket(StepClock& clock, std::span<const uint8_t> stream, size_t readSize)
      : clock_(clock), stream_(stream), readSize_(readSize) {}

  kv::LineResult Connect(const std::string&, const std::string&, uint32_t) override { return {}; }
  kv::LineResult Send(const uint8_t*, size_t count) override {
    sent += count;
    // Our opening requests, then our line settings: each is answered at the next receive.
    if (opening_ == Opening::Connected || opening_ == Opening::Agreed) opening_ = Next(opening_);
    return {};
  }
  kv::LineValue<size_t> Receive(uint8_t* buffer, size_t capacity, uint32_t timeoutMs) override {
    if (opening_ == Opening::Requested) {
      static constexpr uint8_t Agree[] = {255, 253, 44};  // DO COM-PORT-OPTION
      return Answer(Agree, buffer);
    }
    if (opening_ == Opening::SettingsSent) {
      static constexpr uint8_t Confirm[] = {
          255, 250, 44, 101, 0, 1,   194, 0, 255, 240,  // 115200 baud
          255, 250, 44, 102, 8, 255, 240,               // 8 data bits
          255, 250, 44, 103, 3, 255, 240,               // even parity
          255, 250, 44, 104, 1, 255, 240,               // 1 stop bit
      };
      return Answer(Confirm, buffer);
    }
    if (stream_.empty()) return kv::ConnectionClosedFault();
    if (++calls_ % 7 == 0) {  // now and then nothing arrives in time
      clock_.now += timeoutMs;
      return size_t{0};
    }
    const size_t n = std::min({capacity, readSize_, stream_.size()});
    std::copy_n(stream_.begin(), n, buffer);
    stream_ = stream_.subspan(n);
    received += n;
    return n;
  }
  kv::LineValue<bool> Drain(uint32_t) override { return true; }
  void Close() override {}

  size_t sent = 0;
  size_t received = 0;

 private:
  StepClock& clock_;
  std::span<const uint8_t> stream_;
  size_t readSize_;
  enum class Opening { Connected, Requested, Agreed, SettingsSent, Open };
  static Opening Next(Opening o) { return static_cast<Opening>(static_cast<int>(o) + 1); }
  template <size_t N>
  size_t Answer(const uint8_t (&bytes)[N], uint8_t* buffer) {
    std::copy(std::begin(bytes), std::end(bytes), buffer);
    opening_ = Next(opening_);
    return N;
  }
  Opening opening_ = Opening::Connected;
  size_t calls_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t readSize = 1 + data[0] % 64;
  const std::span<const uint8_t> stream(data + 1, size - 1);

  StepClock clock;
  auto socket = std::make_unique<FuzzSocket>(clock, stream, readSize);
  FuzzSocket& server = *socket;
  kv::NetworkPort port(clock, std::move(socket));
  Check(port.OpenUrl("rfc2217://fuzz:1").Ok());
  const size_t sentAtOpen = server.sent;

  std::vector<uint8_t> data1;
  for (size_t reads = 0;; ++reads) {
    Check(reads <= 2 * stream.size() + 2);
    const kv::ReadResult r = port.PortReadByte();
    if (r.status == kv::ReadStatus::Failure) break;
    if (r.status == kv::ReadStatus::Byte) data1.push_back(r.byte);
  }
  Check(data1.size() <= server.received);
  Check(server.sent - sentAtOpen <= server.received);

  // The same stream in one piece, straight through the receiver.
  std::vector<uint8_t> whole(stream.begin(), stream.end());
  kv::telnet::Receiver receiver;
  whole.resize(receiver.Decode(whole.data(), whole.size()));
  Check(whole == data1);
  return 0;
}
