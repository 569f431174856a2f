// Unpaced requests per second on a real pseudo-terminal: the driver through
// the POSIX foundation, tovek-sim answering as a separate process. The figure
// is mostly the kernel's: two processes waking each other through a pty.
#include <benchmark/benchmark.h>

#include "qvotk/qvotk.h"
#include "support/requests.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace {

constexpr int kStation = 1;

void RunOnSimulator(benchmark::State& state, RequestKind kind, int32_t blockValues) {
  TemporaryWorkingDirectory workingDirectory;
  workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(kStation));
  SimulatorProcess simulator;
  if (!simulator.Start({"--station", std::to_string(kStation), "--block-count", "255"})) {
    state.SkipWithError("tovek-sim did not start");
    return;
  }
  QvoChannel channel{};
  if (OpenChannelOn(&channel, simulator.port, 1, 10) != QVO_STATUS_OK) {
    state.SkipWithError("the channel did not open");
    return;
  }
  uint16_t values[256] = {};
  for (auto _ : state) {
    if (SendRequestOf(&channel, kind, 1, 0, blockValues, values) != QVO_STATUS_OK) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.counters["requests_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
  QvoMain(&close);
}

void BM_UnpacedSPointReadOnAPty(benchmark::State& state) { RunOnSimulator(state, RequestKind::ReadS, 0); }
BENCHMARK(BM_UnpacedSPointReadOnAPty)->UseRealTime()->MinTime(1.0);

void BM_UnpacedPointReadOnAPty(benchmark::State& state) { RunOnSimulator(state, RequestKind::ReadPoint, 0); }
BENCHMARK(BM_UnpacedPointReadOnAPty)->UseRealTime()->MinTime(1.0);

void BM_UnpacedBlock255OnAPty(benchmark::State& state) { RunOnSimulator(state, RequestKind::Block, 255); }
BENCHMARK(BM_UnpacedBlock255OnAPty)->UseRealTime()->MinTime(1.0);

}  // namespace
