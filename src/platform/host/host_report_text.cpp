#include <cstdio>

#include "platform/host/host_report.h"

void FormatHostReport(HostReport report, const char* first, const char* second, char* text, size_t size) {
  const HostReportForm& form = FormOf(report);
  if (form.textArguments == 2) {
    std::snprintf(text, size, form.format, first, second);
  } else {
    std::snprintf(text, size, "%s", form.format);
  }
}
