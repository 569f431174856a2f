// Shared by the fuzz targets: a fresh simulated line with a COM1 device and
// no host reports kept from earlier inputs, and a channel opened on it
// through QvoMain.
#pragma once

#include <cstring>

#include "qvotk/qvotk.h"
#include "sim_line/sim_line.h"
#include "support/recorded_reports.h"
#include "support/requests.h"

inline sim::SimDevice& FreshLine() {
  RecordedReports().clear();
  sim::SimLine::Get().Reset();
  return sim::SimLine::Get().AddDevice("COM1");
}

inline bool OpenChannelOnCom1(QvoChannel* channel) {
  std::memset(channel, 0, sizeof *channel);
  return OpenChannelOn(channel, "COM1", 1, 10) == QVO_STATUS_OK;
}

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
