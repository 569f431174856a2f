// The base of the tests on the simulated line: the line as new, no report
// recorded, and COM1 on it.
#pragma once

#include <gtest/gtest.h>

#include "sim_line/sim_line.h"
#include "support/recorded_reports.h"
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
