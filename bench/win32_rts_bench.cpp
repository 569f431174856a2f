// The Windows foundation's wait for the frame to leave before RTS clears,
// on the virtual clock: the foundation's own sources over the Win32
// stand-in, a controller on a line paced at 9600 baud (8N1). The figure is
// the request's time over its characters' time on the wire: the wait may
// add nothing to it.
#include <benchmark/benchmark.h>

#include "platform/serial/line_timing.h"
#include "qvotk/qvotk.h"
#include "qvotk_host/host_facts.h"
#include "sim_line/attach.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "win32_standin/win32_standin.h"

namespace {

void BM_WindowsRtsWaitOverWireTime(benchmark::State& state) {
  constexpr uint32_t kBaud = 9600;
  sim::SimLine& line = sim::SimLine::Get();
  line.Reset();
  line.SetLogging(false);
  win32::State().Reset();
  sim::SimDevice* device = &line.AddDevice("COM1");
  device->keepWrites = false;
  device->microsecondsPerCharacter = CharacterNanoseconds(kBaud, 8, 0, 0) / 1000;
  sim::ControllerBus bus;
  bus.Add(1).sPoint = 4;
  sim::AttachBus(*device, bus);
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  OpenChannelOn(&channel, "COM1", 1, 10, {kBaud, 8, 0, 0});
  uint16_t values[2] = {};
  uint64_t virtualMicroseconds = 0;
  for (auto _ : state) {
    win32::State().calls.clear();  // the stand-in's record of calls would grow without end
    const uint64_t start = line.NowMicroseconds();
    if (SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values) != QVO_STATUS_OK) {
      state.SkipWithError("a request failed");
      break;
    }
    virtualMicroseconds += line.NowMicroseconds() - start;
  }
  const double wire = qvotk_host::WireMicroseconds(qvotk_host::ValueFrames(true, false).Both(), kBaud);
  state.counters["request_over_wire"] =
      static_cast<double>(virtualMicroseconds) / static_cast<double>(state.iterations()) / wire;
}
BENCHMARK(BM_WindowsRtsWaitOverWireTime);

}  // namespace
