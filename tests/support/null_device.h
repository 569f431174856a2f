// A request on the null device, the same on every platform's foundation: it
// opens, but has no modem lines, so each of the request's ten attempts
// reports RTS on failing once and RTS off failing twice (after the send and
// after the receive), and the request ends without an answer.
#pragma once

#include <gtest/gtest.h>

#include "support/recorded_reports.h"
#include "support/requests.h"
#include "support/temp_dir.h"

inline void ExpectTheNullDeviceToReportEachRtsSwitch() {
  TemporaryWorkingDirectory workingDirectory;
  QvoChannel channel{};
  ASSERT_EQ(OpenChannelOn(&channel, "NUL", 1, 1), QVO_STATUS_OK);
  RecordedReports().clear();
  uint16_t values[2] = {};
  EXPECT_EQ(SendTransfer(&channel, QVO_OP_READ_VALUE, QVO_POINT_S, 0, 0, values), QVO_STATUS_NO_ANSWER);
  EXPECT_EQ(CountRecordedReports(kRtsOnFailed), 10u);
  EXPECT_EQ(CountRecordedReports(kRtsOffFailed), 20u);
  QvoRequest close{&channel, QVO_OP_CLOSE_CHANNEL, 0, 0, nullptr};
  EXPECT_EQ(QvoMain(&close), QVO_STATUS_OK);
}
