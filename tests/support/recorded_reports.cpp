// The host's error-report routine as the tests see it: every report is kept,
// with its format and as formatted, in order.
#include "support/recorded_reports.h"

#include <cstdio>

#include "platform/host/host_report.h"

std::vector<RecordedReport>& RecordedReports() {
  static std::vector<RecordedReport> reports;
  return reports;
}

void ReportToHost(HostReport report, const char* first, const char* second) {
  const HostReportForm& form = FormOf(report);
  char text[512];
  if (form.textArguments == 2) {
    std::snprintf(text, sizeof text, form.format, first, second);
  } else {
    std::snprintf(text, sizeof text, "%s", form.format);
  }
  RecordedReports().push_back({kHostReportCode, text, form.format});
}
