// Host error reports on Windows: the host's support library DAVRIN exports
// the error-report routine `err` (C calling convention, a code, a printf
// format and its arguments). It is looked up at the time of each report so
// that the driver still loads in a process without DAVRIN; there the text
// goes to the debugger through OutputDebugStringA.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "host_report.h"

namespace {
using HostErrorRoutine = int(__cdecl*)(int code, const char* format, ...);
constexpr const char kHostSupportLibrary[] = "DAVRIN";
constexpr const char kHostErrorRoutine[] = "err";
}  // namespace

void ReportToHost(int32_t code, const char* format, ...) {
  // The text is formatted here and handed over as "%s": a va_list cannot be
  // passed on to a variadic routine.
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);

  HMODULE library = GetModuleHandleA(kHostSupportLibrary);
  if (library != nullptr) {
    FARPROC proc = GetProcAddress(library, kHostErrorRoutine);
    if (proc != nullptr) {
      reinterpret_cast<HostErrorRoutine>(reinterpret_cast<void (*)()>(proc))(code, "%s", text);
      return;
    }
  }
  OutputDebugStringA(text);
}
