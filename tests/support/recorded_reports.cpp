// The host's error-report routine as the tests see it: every report is kept,
// formatted, in order.
#include "support/recorded_reports.h"

#include <cstdarg>
#include <cstdio>

#include "entry/host_report.h"

std::vector<RecordedReport>& RecordedReports() {
  static std::vector<RecordedReport> reports;
  return reports;
}

void ReportToHost(int32_t code, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  RecordedReports().push_back({code, text});
}
