// Unpaced requests per second on a real pseudo-terminal: the driver as a
// host loads it, through the POSIX foundation, tovek-sim answering as a
// separate process. The figure is mostly the kernel's: two processes waking
// each other through a pty.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "qvotk_host/host_channel.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace {

constexpr int kStation = 1;

enum class Kind { ReadS, ReadPoint, Block };

void RunOnSimulator(benchmark::State& state, Kind kind) {
  TemporaryWorkingDirectory workingDirectory;
  workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(kStation));
  SimulatorProcess simulator;
  DriverLibrary library;
  std::string error;
  if (!simulator.Start({"--station", std::to_string(kStation), "--block-count", "255"}) ||
      !LoadDriverLibrary("", QVO_BIN_DIR, &library, &error)) {
    state.SkipWithError("tovek-sim did not start, or the driver did not load");
    return;
  }
  HostChannel channel(library.entry);
  LineOptions line;
  line.port = simulator.port;
  line.line = {9600, 8, 0, 0};
  line.timeoutUnits = 10;
  if (channel.Open(line) != QVO_STATUS_OK) {
    state.SkipWithError("the channel did not open");
    return;
  }
  Point point;
  channel.Validate(kind == Kind::ReadS ? "S" : "001", &point);
  uint16_t value = 0;
  std::vector<uint16_t> values;
  for (auto _ : state) {
    const QvoStatus status =
        kind == Kind::Block ? channel.ReadBlock(255, &values) : channel.Read(point, &value);
    if (status != QVO_STATUS_OK) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.counters["requests_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  channel.Close();
}

void BM_UnpacedSPointReadOnAPty(benchmark::State& state) { RunOnSimulator(state, Kind::ReadS); }
BENCHMARK(BM_UnpacedSPointReadOnAPty)->UseRealTime()->MinTime(1.0);

void BM_UnpacedPointReadOnAPty(benchmark::State& state) { RunOnSimulator(state, Kind::ReadPoint); }
BENCHMARK(BM_UnpacedPointReadOnAPty)->UseRealTime()->MinTime(1.0);

void BM_UnpacedBlock255OnAPty(benchmark::State& state) { RunOnSimulator(state, Kind::Block); }
BENCHMARK(BM_UnpacedBlock255OnAPty)->UseRealTime()->MinTime(1.0);

}  // namespace
