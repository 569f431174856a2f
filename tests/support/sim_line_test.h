// The base of the tests on the simulated line: the line as new, no report
// recorded, and COM1 on it; and a channel on it through QvoMain.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim_line/attach.h"
#include "sim_line/sim_line.h"
#include "support/recorded_reports.h"
#include "support/requests.h"
#include "support/temp_dir.h"
#include "support/test_port.h"

class SimLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line().Reset();
    RecordedReports().clear();
    device = &line().AddDevice("COM1");
  }
  static sim::SimLine& line() { return sim::SimLine::Get(); }

  sim::SimDevice* device = nullptr;
};

// A channel through QvoMain on COM1, where the controllers of `bus` answer:
// `controller` at station 12 to begin with.
class SimChannelTest : public SimLineTest {
 protected:
  void SetUp() override {
    SimLineTest::SetUp();
    controller = &bus.Add(12);
    sim::AttachBus(*device, bus);
  }
  // Opens the channel anew at the station its file names; the read
  // time-out in 10 ms units. The line's call log and writes start afresh.
  void OpenAtStation(const std::string& stationFile, uint32_t timeoutUnits = 25) {
    workingDirectory.WriteFile("QVOTK01.int", stationFile);
    CallDriver(&channel, QVO_OP_CLOSE_CHANNEL);
    ASSERT_EQ(OpenChannelOn(&channel, "COM1", 1, timeoutUnits), QVO_STATUS_OK);
    line().ClearCalls();
    device->writes.clear();
  }

  TemporaryWorkingDirectory workingDirectory;
  sim::ControllerBus bus;
  sim::TovekController* controller = nullptr;
  QvoChannel channel{};
};
