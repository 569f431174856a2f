// Eight channels on eight pseudo-terminals, each served by its own
// simulator, driven from eight threads at once through QvoMain. Each thread
// checks its own values: channels share no mutable state, the POSIX layer's
// per-port state included. Run under ThreadSanitizer in the tsan lane.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "entry/request.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace {

constexpr int kChannels = 8;
constexpr int kRounds = 60;

QvoStatus Transfer(QvoChannel* channel, uint32_t opcode, uint32_t kind, uint32_t number, int32_t count,
                   uint16_t* values) {
  QvoTransfer transfer{};
  transfer.pointKind = kind;
  transfer.pointNumber = number;
  transfer.valueCount = count;
  transfer.values = values;
  QvoRequest request{channel, opcode, 0, 0, &transfer};
  return QvoMain(&request);
}

TEST(Concurrency, EightChannelsOnEightThreadsKeepToThemselves) {
  TemporaryWorkingDirectory workingDirectory;
  SimulatorProcess simulators[kChannels];
  for (int i = 0; i < kChannels; ++i) {
    const int station = 100 + i;
    ASSERT_TRUE(simulators[i].Start({"--station", std::to_string(station), "--block-count", "8"}));
    workingDirectory.WriteFile("QVOTK0" + std::to_string(i + 1) + ".int", "STATION=" + std::to_string(station));
  }

  std::atomic<int> failures{0};
  std::vector<std::string> problems(kChannels);
  std::vector<std::thread> threads;
  for (int i = 0; i < kChannels; ++i) {
    threads.emplace_back([&, i] {
      const int station = 100 + i;
      QvoChannel channel{};
      QvoOpenParams open{};
      std::strncpy(open.portName, simulators[i].port.c_str(), sizeof open.portName - 1);
      open.enable = 1;
      open.timeout = 50;
      open.lineParams = {9600, 8, 0, 0};
      QvoRequest request{&channel, 1, i + 1, 0, &open};
      auto fail = [&](const std::string& what) {
        if (problems[i].empty()) problems[i] = what;
        ++failures;
      };
      if (QvoMain(&request) != kStatusOk || channel.stationAddress != station) return fail("open");
      for (int round = 0; round < kRounds; ++round) {
        const uint32_t point = static_cast<uint32_t>((round * 7 + i) % 1000);
        uint16_t values[16] = {};
        if (Transfer(&channel, 5, 1, point, 0, values) != kStatusOk || values[1] != ((point + station) & 0xFF)) {
          return fail("read point " + std::to_string(point));
        }
        if (Transfer(&channel, 5, 0, 0, 0, values) != kStatusOk || values[1] != station % 10) {
          return fail("read S");
        }
        if (round % 10 == 0) {
          const uint16_t written = static_cast<uint16_t>(1 + round % 2);
          values[1] = written;
          if (Transfer(&channel, 7, 1, 500 + i, 0, values) != kStatusOk) return fail("write");
          values[1] = 0;
          if (Transfer(&channel, 5, 1, 500 + i, 0, values) != kStatusOk || values[1] != written) {
            return fail("read back");
          }
          if (Transfer(&channel, 6, 1, 1, 8, values) != kStatusOk || values[7] != 8) return fail("block");
        }
      }
      request.opcode = 11;
      if (QvoMain(&request) != kStatusOk) fail("close");
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kChannels; ++i) EXPECT_TRUE(problems[i].empty()) << "channel " << i << ": " << problems[i];
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
