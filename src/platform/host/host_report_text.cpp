#include <cstdio>

#include "platform/host/host_report.h"

void FormatHostReport(HostReport report, const char* first, const char* second, const char* third, char* text,
                      size_t size) {
  const HostReportForm& form = FormOf(report);
  switch (form.textArguments) {
    case 2: std::snprintf(text, size, form.format, first, second); break;
    case 3: std::snprintf(text, size, form.format, first, second, third); break;
    default: std::snprintf(text, size, "%s", form.format); break;
  }
}
