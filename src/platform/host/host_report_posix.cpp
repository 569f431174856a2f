// Host error reports on Linux: one line on standard error. There is no
// host support library to ask, and a symbol named `err` must never be looked
// up here: the C library's own err(3) ends the process.
#include <cstdio>

#include "platform/host/host_report.h"

void ReportToHost(HostReport report, const char* first, const char* second, const char* third) {
  char text[512];
  FormatHostReport(report, first, second, third, text, sizeof text);
  std::fprintf(stderr, "qvotk [%d]:%s%s\n", static_cast<int>(kHostReportCode), text[0] == ' ' ? "" : " ",
               text);
}
