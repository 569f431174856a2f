// Host error reports on Linux: one line on standard error. There is no
// host support library to ask, and a symbol named `err` must never be looked
// up here: the C library's own err(3) ends the process.
#include <cstdarg>
#include <cstdio>

#include "host_report.h"

void ReportToHost(int32_t code, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "qvotk [%d]:%s%s\n", static_cast<int>(code), text[0] == ' ' ? "" : " ", text);
}
