// The host's error-report routine as the tests see it: every report is kept,
// with its format and as formatted, in order.
#include "support/recorded_reports.h"

#include "platform/host/host_report.h"

std::vector<RecordedReport>& RecordedReports() {
  static std::vector<RecordedReport> reports;
  return reports;
}

void ReportToHost(HostReport report, const char* first, const char* second, const char* third) {
  char text[512];
  FormatHostReport(report, first, second, third, text, sizeof text);
  RecordedReports().push_back({kHostReportCode, text, FormOf(report).format});
}

size_t CountRecordedReports(const std::string& text) {
  size_t count = 0;
  for (const auto& report : RecordedReports()) count += report.text == text;
  return count;
}
