// The codec routines and point validation: the CPU each costs.
#include <benchmark/benchmark.h>

#include "protocol/frame.h"
#include "protocol/request_frames.h"
#include "qvotk/qvotk.h"

namespace {

void BM_ParseHexDigits(benchmark::State& state) {
  const char* text = "7e";
  for (auto _ : state) benchmark::DoNotOptimize(ParseHexDigits(text, 2));
}
BENCHMARK(BM_ParseHexDigits);

void BM_FrameChecksumOfAReadReply(benchmark::State& state) {
  const char* body = "0000000000003F00";
  for (auto _ : state) benchmark::DoNotOptimize(FrameChecksum(body, 8));
}
BENCHMARK(BM_FrameChecksumOfAReadReply);

void BM_FrameChecksumOf255Values(benchmark::State& state) {
  std::string body(510, 'A');
  for (auto _ : state) benchmark::DoNotOptimize(FrameChecksum(body.data(), 255));
}
BENCHMARK(BM_FrameChecksumOf255Values);

void BM_BuildReadPointRequest(benchmark::State& state) {
  char frame[32];
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildReadPointRequest(frame, 1234, 567));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BuildReadPointRequest);

void BM_ValidatePointName(benchmark::State& state) {
  QvoPointAddress block{};
  block.name = "123";
  QvoRequest request{nullptr, QVO_OP_VALIDATE_POINT, 0, 0, &block};
  for (auto _ : state) benchmark::DoNotOptimize(QvoMain(&request));
}
BENCHMARK(BM_ValidatePointName);

}  // namespace
