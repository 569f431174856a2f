// Host error reports on Windows: the host's support library DAVRIN exports
// the error-report routine `err` (C calling convention, a code, a printf
// format and its arguments). It is called with each report's own format
// and arguments, so that a host which keys on the format sees it; a port
// name is only ever an argument. `err` is looked up at the time of each
// report, so that the driver still loads in a process without DAVRIN; there
// the text goes to the debugger through OutputDebugStringA.
#include <windows.h>

#include "platform/host/host_report.h"

namespace {
using HostErrorRoutine = int(__cdecl*)(int code, const char* format, ...);
constexpr const char kHostSupportLibrary[] = "DAVRIN";
constexpr const char kHostErrorRoutine[] = "err";
}  // namespace

void ReportToHost(HostReport report, const char* first, const char* second, const char* third) {
  const HostReportForm& form = FormOf(report);
  HMODULE library = GetModuleHandleA(kHostSupportLibrary);
  FARPROC proc = library != nullptr ? GetProcAddress(library, kHostErrorRoutine) : nullptr;
  if (proc != nullptr) {
    auto err = reinterpret_cast<HostErrorRoutine>(reinterpret_cast<void (*)()>(proc));
    switch (form.textArguments) {
      case 2: err(kHostReportCode, form.format, first, second); break;
      case 3: err(kHostReportCode, form.format, first, second, third); break;
      default: err(kHostReportCode, form.format); break;
    }
    return;
  }
  char text[512];
  FormatHostReport(report, first, second, third, text, sizeof text);
  OutputDebugStringA(text);
}
