// The fault soak on a pseudo-terminal against tovek-sim: every fault kind,
// noise and late replies included; every value handed over as good is the
// controller's, nothing is written around it, and no descriptor or memory
// is lost over the fault loop, nor over open/close/reopen/reconfigure
// cycles. QVO_SOAK_REQUESTS / 2 requests: 1000 in the soak lane, which
// sets it to 2000; 100 in the test lane, where it is unset.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <random>
#include <string>

#include "qvotk/qvotk.h"
#include "sim/controller_bus.h"
#include "support/pty.h"
#include "support/requests.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace {

using sim::Fault;

constexpr int kStation = 21;
constexpr int kBlockValues = 16;
constexpr uint16_t kCanary = 0xEEEE;

using Kind = RequestKind;

class PseudoTerminalSoak : public ::testing::Test {
 protected:
  QvoStatus Call(uint32_t opcode, void* params = nullptr) { return CallDriver(&channel, opcode, params); }
  QvoStatus Open(const std::string& port) { return OpenChannelOn(&channel, port, 1, 10); }

  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  uint16_t values[kBlockValues + 4];
};

TEST_F(PseudoTerminalSoak, EveryFaultKindLosesNothing) {
  const long requests = SoakRequests(200) / 2;
  workingDirectory.WriteFile("QVOTK01.int", "STATION=" + std::to_string(kStation));
  SimulatorProcess simulator;
  std::string kinds;
  for (int i = 1; i < sim::kFaultKinds; ++i)
    kinds += std::string(i > 1 ? "," : "") + FaultName(static_cast<Fault>(i));
  ASSERT_TRUE(
      simulator.Start({"--station", std::to_string(kStation), "--block-count", std::to_string(kBlockValues),
                       "--fault-rate", "0.1", "--faults", kinds, "--fault-delay-ms", "150", "--seed", "7"}));
  ASSERT_EQ(Open(simulator.port), QVO_STATUS_OK);
  // tovek-sim's values: the S point is the station's last digit, point n
  // holds n + station, the block counts from 1.
  int sPoint = kStation % 10;
  int points[1000];
  for (int n = 0; n < 1000; ++n) points[n] = (n + kStation) & 0xFF;

  std::mt19937 random(7);
  const size_t descriptors = OpenDescriptors();
  const size_t heap = mallinfo2().uordblks;
  for (long r = 0; r < requests; ++r) {
    const auto kind = static_cast<Kind>(random() % 5);
    const auto number = static_cast<uint32_t>(random() % 1000);
    const uint16_t value = static_cast<uint16_t>(kind == Kind::WriteS ? random() % 10 : 1 + random() % 2);
    for (auto& v : values) v = kCanary;
    const QvoStatus status = SendRequestOf(&channel, kind, number, value, kBlockValues, values);
    ASSERT_TRUE(status >= QVO_STATUS_OK && status <= QVO_STATUS_NO_ANSWER)
        << "no other status reaches the host";
    ASSERT_EQ(ValueWrittenOutside(kind, status, values, std::size(values), kBlockValues, kCanary), -1) << r;
    if (status != QVO_STATUS_OK) {
      // A write that failed may still have reached the controller.
      if (IsWrite(kind)) (kind == Kind::WriteS ? sPoint : points[number]) = -1;
      continue;
    }
    switch (kind) {
      case Kind::ReadS:
        if (sPoint >= 0) {
          ASSERT_EQ(values[1], sPoint) << r;
        }
        sPoint = values[1];
        break;
      case Kind::ReadPoint:
        if (points[number] >= 0) {
          ASSERT_EQ(values[1], points[number]) << r;
        }
        points[number] = values[1];
        break;
      case Kind::WriteS: sPoint = value; break;
      case Kind::WritePoint: points[number] = value; break;
      case Kind::Block:
        for (int i = 0; i < kBlockValues; ++i) ASSERT_EQ(values[i], i + 1) << r;
        break;
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptors) << "over the fault loop";
  EXPECT_EQ(mallinfo2().uordblks, heap) << "the driver allocates nothing";
  EXPECT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
}

TEST_F(PseudoTerminalSoak, ChannelCyclesLoseNoDescriptorAndNoMemory) {
  workingDirectory.WriteFile("QVOTK01.int", "STATION=3");
  SimulatorProcess first, second;
  ASSERT_TRUE(first.Start({"--station", "3"}));
  ASSERT_TRUE(second.Start({"--station", "3"}));
  ASSERT_EQ(Open(first.port), QVO_STATUS_OK);  // warm up whatever the C library sets up once
  ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);

  const size_t descriptors = OpenDescriptors();
  const size_t heap = mallinfo2().uordblks;
  QvoReconfigureParams toSecond{}, toFirst{};
  std::strncpy(toSecond.portName, second.port.c_str(), sizeof toSecond.portName - 1);
  std::strncpy(toFirst.portName, first.port.c_str(), sizeof toFirst.portName - 1);
  for (int cycle = 0; cycle < 100; ++cycle) {
    ASSERT_EQ(Open(first.port), QVO_STATUS_OK);
    ASSERT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, 0, 0, 0, values), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_FLUSH_INPUT), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_RECONFIGURE_CHANNEL, &toSecond),
              QVO_STATUS_OK);  // closes the first port, opens the second
    ASSERT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, 1, 1, 0, values), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL_ALIAS), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_REOPEN_CHANNEL), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_RECONFIGURE_CHANNEL, &toFirst), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
    ASSERT_EQ(Call(QVO_OP_CLOSE_CHANNEL), QVO_STATUS_OK);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(mallinfo2().uordblks, heap) << "the driver allocates nothing";
}

}  // namespace
