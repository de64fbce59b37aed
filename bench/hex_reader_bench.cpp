// Throughput of the HEX reader on a typical full image: 512 KiB of data in 16-byte records (about
// 1.44 MB of text), decoded from memory and read from a real file. Reported as bytes of HEX text per
// second; the reader should manage at least 500 MB/s.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/hex_reader.h"

namespace kv {
namespace {

class CountingHost : public ReaderHost {
 public:
  void ProcessMessages() override { ++pumps; }
  void ShowMessage(std::string_view) override {}
  long pumps = 0;
};

void AppendRecord(std::string& text, uint8_t type, uint16_t address, const uint8_t* data, size_t count) {
  char digits[3];
  uint8_t sum = 0;
  auto put = [&](uint8_t byte) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
    sum = static_cast<uint8_t>(sum + byte);
  };
  text += ':';
  put(static_cast<uint8_t>(count));
  put(static_cast<uint8_t>(address >> 8));
  put(static_cast<uint8_t>(address));
  put(type);
  for (size_t i = 0; i < count; ++i) put(data[i]);
  put(static_cast<uint8_t>(-sum));
  text += "\r\n";
}

// Every one of the eight segments filled with pseudo-random data, 16 bytes per record.
std::string FullImageHex() {
  std::string text;
  uint32_t state = 12345;
  for (uint8_t segment = 0; segment < 8; ++segment) {
    const uint8_t value[2] = {static_cast<uint8_t>(segment << 4), 0};
    AppendRecord(text, 0x02, 0, value, 2);
    for (uint32_t offset = 0; offset < 0x10000; offset += 16) {
      uint8_t data[16];
      for (uint8_t& b : data) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
      }
      AppendRecord(text, 0x00, static_cast<uint16_t>(offset), data, 16);
    }
  }
  AppendRecord(text, 0x01, 0, nullptr, 0);
  return text;
}

const std::string& Text() {
  static const std::string text = FullImageHex();
  return text;
}

void BM_DecodeHex(benchmark::State& state) {
  const std::string& text = Text();
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  MemoryImage image;
  CountingHost host;
  for (auto _ : state) {
    MemoryByteSource source(bytes);
    const HexReadResult result = DecodeHex(source, image, host);
    if (result != ReadComplete) state.SkipWithError("the generated text did not decode");
    benchmark::DoNotOptimize(image.ImageByte(0x4FFFF));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DecodeHex)->Unit(benchmark::kMicrosecond);

void BM_ReadHexFile(benchmark::State& state) {
  const std::string& text = Text();
  char path[] = "/tmp/kv_hex_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the temporary file");
    return;
  }
  close(fd);
  MemoryImage image;
  SystemTime time;
  CountingHost host;
  for (auto _ : state) {
    const HexReadResult result = ReadHexFile(path, image, time, host);
    if (result != ReadComplete) state.SkipWithError("the temporary file did not decode");
  }
  unlink(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadHexFile)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kv
