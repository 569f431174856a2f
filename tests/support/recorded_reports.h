// Reports the driver sent to the host, as the tests read them back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordedReport {
  int32_t code;
  std::string text;
};

std::vector<RecordedReport>& RecordedReports();
