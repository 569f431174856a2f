/*
 * A DAVRIN.dll for the Wine lane's tests: the host's support library as the
 * driver meets it, exporting err (C calling convention, a code, a printf
 * format and its arguments). It keeps every call as "code|format|text" on a
 * line, for the test that loaded it to read back through DavrinReceived.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static char received[16384];

__declspec(dllexport) int __cdecl err(int code, const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  const size_t used = strlen(received);
  snprintf(received + used, sizeof received - used, "%d|%s|%s\n", code, format, text);
  return 0;
}

__declspec(dllexport) const char* DavrinReceived(void) { return received; }
