// Reports the driver sent to the host, as the tests read them back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordedReport {
  int32_t code;
  std::string text;    // as the host shows it
  std::string format;  // as the host's err receives it
};

std::vector<RecordedReport>& RecordedReports();
