// One full request through QvoMain on the simulated line. Three figures
// apart: the whole request with the simulated controller answering; the
// controller's own cost per request; and the request answered by a canned
// reply, which is the driver plus the simulated line.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qvotk/qvotk.h"
#include "sim_line/attach.h"
#include "support/requests.h"

namespace {

struct Rig {
  sim::ControllerBus bus;
  sim::SimDevice* device;
  QvoChannel channel{};
  uint16_t values[256];

  Rig() {
    sim::SimLine::Get().Reset();
    sim::SimLine::Get().SetLogging(false);
    device = &sim::SimLine::Get().AddDevice("COM1");
    device->keepWrites = false;
    sim::TovekController& controller = bus.Add(1);
    controller.sPoint = 4;
    controller.block.assign(255, 7);
    sim::AttachBus(*device, bus);
    OpenChannelOn(&channel, "COM1", 1, 10);
  }

  QvoStatus Transfer(uint32_t opcode, uint32_t kind, uint32_t number, int32_t count) {
    return SendTransfer(&channel, opcode, kind, number, count, values);
  }
};

void BM_ReadSPointWithController(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.Transfer(QVO_OP_READ_VALUE, 0, 0, 0));
}
BENCHMARK(BM_ReadSPointWithController);

void BM_ReadPointWithController(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.Transfer(QVO_OP_READ_VALUE, 1, 1, 0));
}
BENCHMARK(BM_ReadPointWithController);

void BM_ReadBlock255WithController(benchmark::State& state) {
  Rig rig;
  const uint64_t before = sim::SimLine::Get().ReadRequests();
  for (auto _ : state) benchmark::DoNotOptimize(rig.Transfer(QVO_OP_READ_BLOCK, 1, 1, 255));
  // A well-formed block reply is taken in exactly two reads.
  state.counters["reads_per_request"] = static_cast<double>(sim::SimLine::Get().ReadRequests() - before) /
                                        static_cast<double>(state.iterations());
}
BENCHMARK(BM_ReadBlock255WithController);

// The controller alone: decode a request, answer it.
void BM_ControllerAnswersAPointRead(benchmark::State& state) {
  sim::ControllerBus bus;
  bus.Add(1);
  const std::string request = ":0609000166001080\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(bus.Feed(request));
}
BENCHMARK(BM_ControllerAnswersAPointRead);

// The driver and the simulated line: every request answered by one reply
// prepared in advance.
void BM_ReadPointCannedReply(benchmark::State& state) {
  Rig rig;
  const std::string reply = ":080000000000003F00C1\r\n";
  rig.device->responder = [&reply](sim::SimDevice& line, std::string_view) { line.Deliver(reply); };
  for (auto _ : state) benchmark::DoNotOptimize(rig.Transfer(QVO_OP_READ_VALUE, 1, 1, 0));
}
BENCHMARK(BM_ReadPointCannedReply);

// The same with the line captured (QVOTK_CAPTURE): the records of each
// request kept and written to a file when it ends. A fixed count of
// requests, so that the file stays small.
void BM_ReadPointCannedReplyCaptured(benchmark::State& state) {
  const std::string file = "/tmp/qvotk-bench-capture-" + std::to_string(getpid()) + ".pcap";
  setenv("QVOTK_CAPTURE", file.c_str(), 1);
  {
    Rig rig;
    const std::string reply = ":080000000000003F00C1\r\n";
    rig.device->responder = [&reply](sim::SimDevice& line, std::string_view) { line.Deliver(reply); };
    for (auto _ : state) benchmark::DoNotOptimize(rig.Transfer(QVO_OP_READ_VALUE, 1, 1, 0));
    QvoRequest close{&rig.channel, QVO_OP_CLOSE_CHANNEL, 1, 0, nullptr};
    QvoMain(&close);
  }
  unsetenv("QVOTK_CAPTURE");
  std::remove(file.c_str());
}
BENCHMARK(BM_ReadPointCannedReplyCaptured)->Iterations(200000);

void BM_ReadSPointCannedReply(benchmark::State& state) {
  Rig rig;
  const std::string reply = ":070000016800040000\r\n";
  rig.device->responder = [&reply](sim::SimDevice& line, std::string_view) { line.Deliver(reply); };
  for (auto _ : state) benchmark::DoNotOptimize(rig.Transfer(QVO_OP_READ_VALUE, 0, 0, 0));
}
BENCHMARK(BM_ReadSPointCannedReply);

// The simulated line alone carrying the same bytes, without the driver:
// what to subtract from the canned-reply figure for the driver's own cost.
void BM_SimulatedLineCarriesAPointExchange(benchmark::State& state) {
  Rig rig;
  const std::string request = ":0609000166001080\r\n";
  const std::string reply = ":080000000000003F00C1\r\n";
  rig.device->responder = nullptr;
  char buffer[32];
  sim::SimLine& line = sim::SimLine::Get();
  for (auto _ : state) {
    uint32_t moved = 0;
    bool cts = false;
    line.SetRts(rig.channel.port, true);
    line.CountWaitingInput(rig.channel.port, &moved);
    line.ReadCts(rig.channel.port, &cts);
    line.Write(rig.channel.port, request.data(), static_cast<uint32_t>(request.size()), &moved);
    line.SetRts(rig.channel.port, false);
    rig.device->Deliver(reply);
    line.Read(rig.channel.port, buffer, 23, &moved);
    line.SetRts(rig.channel.port, false);
    benchmark::DoNotOptimize(buffer);
  }
}
BENCHMARK(BM_SimulatedLineCarriesAPointExchange);

}  // namespace
