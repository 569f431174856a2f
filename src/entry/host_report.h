// Error reports that a user must see, sent to the host's error-report
// routine. Each platform links its own implementation: on Windows the host
// support library's `err`, on Linux one line on standard error; tests link
// one that records the reports.
#pragma once

#include <cstdint>

// The code the driver passes with every report.
constexpr int32_t kHostReportCode = 32;

#if defined(__GNUC__)
#define QVO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QVO_PRINTF_FORMAT(fmt, args)
#endif

void ReportToHost(int32_t code, const char* format, ...) QVO_PRINTF_FORMAT(2, 3);
