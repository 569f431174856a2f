#include "output.h"

#include <atomic>
#include <cmath>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

std::atomic<bool> g_statusLineShown{false};
bool g_outputTerminal = false;
bool g_errorsTerminal = false;

bool IsTerminal(FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

}  // namespace

Result Failure(int status, const std::string& error) {
  Result result;
  result.status = status;
  result.error = error;
  return result;
}

std::string JsonLine(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

void Print(const Result& result, bool json) {
  if (json) {
    Json value = result.json;
    if (value.is_null()) {
      value = Json::object();
      value["status"] = result.status;
      if (!result.error.empty()) value["error"] = result.error;
    }
    std::printf("%s\n", JsonLine(value).c_str());
  } else {
    if (!result.error.empty()) std::fprintf(stderr, "qvotk: %s\n", result.error.c_str());
    for (const std::string& line : result.lines) std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
}

double JsonFigure(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

void NoteTerminals() {
  g_outputTerminal = IsTerminal(stdout);
  g_errorsTerminal = IsTerminal(stderr);
}

bool OutputIsTerminal() { return g_outputTerminal; }
bool ErrorsGoToTerminal() { return g_errorsTerminal; }

void NoteStatusLine() { g_statusLineShown = true; }
bool TakeStatusLine() { return g_statusLineShown.exchange(false); }
