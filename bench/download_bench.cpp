// A whole download of the largest image (every page of sectors 2, 3, 4, 5 and 10: 1,088 pages) to the
// simulated device on a pseudo-terminal paced like a 115200-baud 8E1 line. Compares the time taken
// with the protocol's floor: the line time of every packet and reply byte (11 bits a byte), plus the
// 1000 ms of pauses that each erase makes by design. Target: measured / floor <= 1.02.
//
// Run it by hand (it takes about half a minute): build/<dir>/bench/download_bench
// KV_BENCH_HEX=path overrides the file sent.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/download.h"
#include "download/file_kind.h"
#include "image/hex_reader.h"
#include "image/loaded_file.h"
#include "line/system_clock.h"
#include "loader/loader_protocol.h"
#include "ports/system_port.h"
#include "station/plan_report.h"
#include "tests/support/sim_process.h"

namespace kv {
namespace {

constexpr int SimPortNumber = 4;  // any: the line below opens the simulator whatever the number

// The simulator's terminal, whatever COM number the download opens.
class SimulatorAsEveryPort : public PortResolver {
 public:
  explicit SimulatorAsEveryPort(std::string path) : path_(std::move(path)) {}
  PortEntry Resolve(int n) const override {
    PortEntry entry;
    entry.number = n;
    entry.device = path_;
    return entry;
  }

 private:
  std::string path_;
};
// A front end with no screen: remembers what the download ended with, shows nothing.
class QuietView : public DownloadView {
 public:
  void ShowMessage(std::string_view text) override { lastMessage = text; }
  void ProcessMessages() override {}
  void SetStatusText(std::string_view) override {}
  void SetProgressMax(uint16_t) override {}
  void SetProgress(uint16_t, std::string_view) override {}
  std::string lastMessage;
};

std::string BenchHexPath() {
  if (const char* path = std::getenv("KV_BENCH_HEX"); path && *path) return path;
  return std::string(KV_EXAMPLES_DIR) + "/multisector_full.hex";
}

// The least time the line and the protocol allow for sending this image: the flasher's own estimate
// (every byte of every packet and reply, one after another, and each erase's two fixed pauses, inside
// which the device erases).
double FloorSeconds(const SectorPlan& plan, uint32_t pages) {
  return EstimateDownload(plan.erase.size(), pages, plan.finish).TotalMs() / 1000.0;
}

void BM_DownloadAtLineRate(benchmark::State& state) {
  test::SimProcess sim;
  if (!sim.Start({"--line-rate"}, KV_SIM_BINARY)) {
    state.SkipWithError(("kv6193-sim did not start: " + sim.error()).c_str());
    return;
  }
  MemoryImage image;
  SystemTime fileTime;
  QuietView view;
  const std::string path = BenchHexPath();
  if (ReadHexFile(path.c_str(), image, fileTime, view) != ReadComplete) {
    state.SkipWithError(("cannot load " + path).c_str());
    return;
  }
  const Classification found = ClassifyImage(image.Pages());
  const SectorPlan* plan = PlanFor(found.kind);
  if (plan == nullptr) {
    state.SkipWithError("the file is not a kind that is sent");
    return;
  }
  const uint32_t pages = found.usedPageCount + (image.IsPageUsed(plan->firstPage) ? 0 : 1);

  const std::string fileName = LoadedFileNameFor(path);
  SystemClock clock;
  const SimulatorAsEveryPort simulator(sim.ptyPath());
  SystemPort port(clock, simulator);
  BusyFlag busy;
  int portNumber = SimPortNumber;
  DownloadContext context{image, fileName, fileTime, portNumber, busy, port, clock, view};

  double measured = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const DownloadOutcome outcome = RunDownload(context);
    measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (outcome != DownloadOutcome::Downloaded) {
      state.SkipWithError(("download failed: " + view.lastMessage).c_str());
      return;
    }
    state.SetIterationTime(measured);
  }
  sim.Stop();

  const double floor = FloorSeconds(*plan, pages);
  const double commands = static_cast<double>(plan->erase.size() + pages + (plan->finish ? 1 : 0));
  state.counters["pages"] = pages;
  state.counters["measured_s"] = measured;
  state.counters["floor_s"] = floor;
  state.counters["ratio"] = measured / floor;
  state.counters["overhead_ms_per_command"] = (measured - floor) * 1000 / commands;
  std::printf("%s: %u pages, measured %.3f s, floor %.3f s, ratio %.4f (target <= 1.02)\n", path.c_str(),
              pages, measured, floor, measured / floor);
}
BENCHMARK(BM_DownloadAtLineRate)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kv
