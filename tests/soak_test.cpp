// Fault soak: tovek-sim injects every fault kind at random with a seed; a
// second fault bus with the same seed tells the test which fault each
// attempt met, so every request's status is checked against the one that
// fault calls for, or against 0 and the controller's true value. Also: no
// descriptor or memory is lost over open/close/reopen/reconfigure cycles.
// QVO_SOAK_REQUESTS sets the number of requests (2000 by default; a million
// by hand).
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "entry/request.h"
#include "sim/tovek_controller.h"
#include "support/requests.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace {

using sim::Fault;

constexpr int kStation = 21;
constexpr int kBlockValues = 16;
constexpr uint32_t kTimeoutUnits = 10;  // 100 ms: ample for an unpaced reply, even under emulation
constexpr uint32_t kSeed = 20261207;
constexpr double kFaultRate = 0.15;

enum class Kind { ReadS, ReadPoint, WriteS, WritePoint, Block };

// What one attempt answers when it meets `fault`.
QvoStatus AttemptOutcome(Fault fault, Kind kind) {
  const bool block = kind == Kind::Block;
  switch (fault) {
    case Fault::None:
    case Fault::Delay: return kStatusOk;
    case Fault::NoReply:
    case Fault::ShortReply: return kStatusNoAnswer;
    case Fault::StatusError:
      return block ? kStatusOk : kStatusRejected;  // a block reply has no status character
    case Fault::BadChecksum:
      return kind == Kind::ReadPoint || block ? kStatusRejected : kStatusOk;  // others are not verified
    case Fault::WrongBlockCount: return block ? kStatusNoAnswer : kStatusOk;
    case Fault::StrayBytes: return block ? kStatusNoAnswer : kStatusRejected;  // the junk shifts the reply
    case Fault::Noise: return kStatusOk;
  }
  return kStatusOk;
}

size_t OpenDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

class Soak : public ::testing::Test {
 protected:
  QvoStatus Call(uint32_t opcode, void* params = nullptr) {
    QvoRequest request{&channel, opcode, 1, 0, params};
    return QvoMain(&request);
  }
  QvoStatus Transfer(uint32_t opcode, uint32_t kind, uint32_t number, int32_t count) {
    return SendTransfer(&channel, opcode, kind, number, count, values);
  }
  QvoStatus Open(const std::string& port) { return OpenChannelOn(&channel, port, 1, kTimeoutUnits); }

  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  uint16_t values[kBlockValues + 4];
};

TEST_F(Soak, EveryStatusIsTheOneItsFaultCallsFor) {
  const char* requested = std::getenv("QVO_SOAK_REQUESTS");
  const long requests = requested ? std::atol(requested) : 2000;
  const std::vector<Fault> kinds = {Fault::NoReply,     Fault::ShortReply,      Fault::StatusError,
                                    Fault::BadChecksum, Fault::WrongBlockCount, Fault::StrayBytes};
  workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(kStation));
  SimulatorProcess simulator;
  ASSERT_TRUE(
      simulator.Start({"--station", std::to_string(kStation), "--block-count", std::to_string(kBlockValues),
                       "--fault-rate", std::to_string(kFaultRate), "--seed", std::to_string(kSeed)}));
  ASSERT_EQ(Open(simulator.port), kStatusOk);

  sim::ControllerBus replica;  // draws the simulator's faults in the same order
  replica.SetRandomFaults(kFaultRate, kinds, kSeed);
  int sPoint = kStation % 10;
  int points[1000];
  for (int n = 0; n < 1000; ++n) points[n] = (n + kStation) & 0xFF;

  std::mt19937 random(7);
  long faultsMet = 0;
  for (long r = 0; r < requests; ++r) {
    const auto kind = static_cast<Kind>(random() % 5);
    const auto number = static_cast<uint32_t>(random() % 1000);
    const uint16_t value = static_cast<uint16_t>(kind == Kind::WriteS ? random() % 10 : 1 + random() % 2);

    QvoStatus expected = kStatusRejected;
    for (int attempt = 0; attempt < 10; ++attempt) {
      const Fault fault = replica.NextFault();
      faultsMet += fault != Fault::None;
      expected = AttemptOutcome(fault, kind);
      if (expected == kStatusOk) break;
    }

    for (auto& v : values) v = 0xEEEE;
    QvoStatus status;
    const auto start = std::chrono::steady_clock::now();
    switch (kind) {
      case Kind::ReadS: status = Transfer(5, 0, 0, 0); break;
      case Kind::ReadPoint: status = Transfer(5, 1, number, 0); break;
      case Kind::WriteS:
        values[1] = value;
        status = Transfer(7, 0, 0, 0);
        break;
      case Kind::WritePoint:
        values[1] = value;
        status = Transfer(7, 1, number, 0);
        break;
      case Kind::Block: status = Transfer(6, 1, 1, kBlockValues); break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(status, expected) << "request " << r << " of kind " << static_cast<int>(kind);
    ASSERT_LT(seconds, 10 * (kTimeoutUnits * 0.01 * 3 + 0.1)) << "beyond the retry budget";
    if (status != kStatusOk) continue;
    switch (kind) {
      case Kind::ReadS: ASSERT_EQ(values[1], sPoint) << r; break;
      case Kind::ReadPoint: ASSERT_EQ(values[1], points[number]) << r; break;
      case Kind::WriteS: sPoint = value; break;
      case Kind::WritePoint: points[number] = value; break;
      case Kind::Block:
        for (int i = 0; i < kBlockValues; ++i) ASSERT_EQ(values[i], i + 1) << r;
        ASSERT_EQ(values[kBlockValues], 0xEEEE);
        break;
    }
  }
  EXPECT_GT(faultsMet, requests / 20) << "the soak met faults";
  EXPECT_EQ(Call(11), kStatusOk);
}

TEST_F(Soak, ChannelCyclesLoseNoDescriptorAndNoMemory) {
  workingDirectory.WriteFile("QVOTK01.int", "STATION=3");
  SimulatorProcess first, second;
  ASSERT_TRUE(first.Start({"--station", "3"}));
  ASSERT_TRUE(second.Start({"--station", "3"}));
  ASSERT_EQ(Open(first.port), kStatusOk);  // warm up whatever the C library sets up once
  ASSERT_EQ(Call(11), kStatusOk);

  const size_t descriptors = OpenDescriptors();
  const size_t heap = mallinfo2().uordblks;
  QvoReconfigureParams toSecond{}, toFirst{};
  std::strncpy(toSecond.portName, second.port.c_str(), sizeof toSecond.portName - 1);
  std::strncpy(toFirst.portName, first.port.c_str(), sizeof toFirst.portName - 1);
  for (int cycle = 0; cycle < 100; ++cycle) {
    ASSERT_EQ(Open(first.port), kStatusOk);
    ASSERT_EQ(Transfer(5, 0, 0, 0), kStatusOk);
    ASSERT_EQ(Call(2), kStatusOk);
    ASSERT_EQ(Call(15, &toSecond), kStatusOk);  // closes the first port, opens the second
    ASSERT_EQ(Transfer(5, 1, 1, 0), kStatusOk);
    ASSERT_EQ(Call(12), kStatusOk);
    ASSERT_EQ(Call(13), kStatusOk);
    ASSERT_EQ(Call(15, &toFirst), kStatusOk);
    ASSERT_EQ(Call(11), kStatusOk);
    ASSERT_EQ(Call(11), kStatusOk);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(mallinfo2().uordblks, heap) << "the driver allocates nothing";
}

}  // namespace
