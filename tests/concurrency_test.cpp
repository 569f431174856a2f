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

#include "qvotk/qvotk.h"
#include "support/pty.h"
#include "support/requests.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace {

constexpr int kChannels = 8;
constexpr int kRounds = 60;

TEST(Concurrency, EightChannelsOnEightThreadsKeepToThemselves) {
  TemporaryWorkingDirectory workingDirectory;
  SimulatorProcess simulators[kChannels];
  for (int i = 0; i < kChannels; ++i) {
    const int station = 100 + i;
    ASSERT_TRUE(simulators[i].Start({"--station", std::to_string(station), "--block-count", "8"}));
    workingDirectory.WriteFile("QVOTK0" + std::to_string(i + 1) + ".int",
                               "STATION=" + std::to_string(station));
  }

  std::atomic<int> failures{0};
  std::vector<std::string> problems(kChannels);
  std::vector<std::thread> threads;
  for (int i = 0; i < kChannels; ++i) {
    threads.emplace_back([&, i] {
      const int station = 100 + i;
      QvoChannel channel{};
      auto fail = [&](const std::string& what) {
        if (problems[i].empty()) problems[i] = what;
        ++failures;
      };
      if (OpenChannelOn(&channel, simulators[i].port, i + 1, 50) != QVO_STATUS_OK ||
          channel.stationAddress != station) {
        return fail("open");
      }
      for (int round = 0; round < kRounds; ++round) {
        const uint32_t point = static_cast<uint32_t>((round * 7 + i) % 1000);
        uint16_t values[16] = {};
        if (SendTransfer(&channel, QVO_OP_READ_VALUE, 1, point, 0, values) != QVO_STATUS_OK ||
            values[1] != ((point + station) & 0xFF)) {
          return fail("read point " + std::to_string(point));
        }
        if (SendTransfer(&channel, QVO_OP_READ_VALUE, 0, 0, 0, values) != QVO_STATUS_OK ||
            values[1] != station % 10) {
          return fail("read S");
        }
        if (round % 10 == 0) {
          const uint16_t written = static_cast<uint16_t>(1 + round % 2);
          values[1] = written;
          if (SendTransfer(&channel, QVO_OP_WRITE_VALUE, 1, 500 + i, 0, values) != QVO_STATUS_OK)
            return fail("write");
          values[1] = 0;
          if (SendTransfer(&channel, QVO_OP_READ_VALUE, 1, 500 + i, 0, values) != QVO_STATUS_OK ||
              values[1] != written) {
            return fail("read back");
          }
          if (SendTransfer(&channel, QVO_OP_READ_BLOCK, 1, 1, 8, values) != QVO_STATUS_OK || values[7] != 8)
            return fail("block");
        }
      }
      QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
      if (QvoMain(&close) != QVO_STATUS_OK) fail("close");
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kChannels; ++i)
    EXPECT_TRUE(problems[i].empty()) << "channel " << i << ": " << problems[i];
  EXPECT_EQ(failures.load(), 0);
}

// Ports opened and closed without pause on some threads, so that the kernel
// hands the same descriptor numbers from one thread to another and the port
// slots change hands, while other threads run requests on ports they hold.
// Under ThreadSanitizer: no race on the slots, and every value right.
TEST(Concurrency, PortsOpenedAndClosedOnSomeThreadsLeaveRequestsOnOthersAlone) {
  constexpr int kChurners = 4;
  constexpr int kRequesters = 3;
  TemporaryWorkingDirectory workingDirectory;
  SimulatorProcess simulators[kRequesters];
  for (int i = 0; i < kRequesters; ++i) {
    ASSERT_TRUE(simulators[i].Start({"--station", std::to_string(40 + i)}));
    workingDirectory.WriteFile("QVOTK0" + std::to_string(i + 1) + ".int",
                               "STATION=" + std::to_string(40 + i));
  }
  std::vector<PseudoTerminal> terminals(kChurners);
  std::atomic<bool> requestsDone{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kChurners; ++i) {
    threads.emplace_back([&, i] {
      QvoChannel channel{};
      const std::string port = i % 2 ? "NUL" : terminals[i].portName();
      for (int round = 0; !requestsDone || round < 50; ++round) {
        if (OpenChannelOn(&channel, port, 9, 1) != QVO_STATUS_OK) ++failures;
        QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 9, 0, nullptr};
        if (QvoMain(&close) != QVO_STATUS_OK) ++failures;
      }
    });
  }
  std::vector<std::thread> requesters;
  for (int i = 0; i < kRequesters; ++i) {
    requesters.emplace_back([&, i] {
      QvoChannel channel{};
      if (OpenChannelOn(&channel, simulators[i].port, i + 1, 50) != QVO_STATUS_OK) {
        ++failures;
        return;
      }
      for (int round = 0; round < 100; ++round) {
        const uint32_t point = static_cast<uint32_t>((round * 13 + i) % 1000);
        uint16_t values[2] = {};
        if (SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_NUMBERED, point, 0, values) !=
                QVO_STATUS_OK ||
            values[1] != ((point + 40 + i) & 0xFF)) {
          ++failures;
        }
      }
      QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
      QvoMain(&close);
    });
  }
  for (auto& thread : requesters) thread.join();
  requestsDone = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
