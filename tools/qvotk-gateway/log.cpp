#include "log.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "line_watch/capture_file.h"

namespace gateway {
namespace {
Level g_lowest = Level::Info;
std::mutex g_logMutex;
const char* Name(Level level) {
  switch (level) {
    case Level::Debug: return "debug";
    case Level::Info: return "info";
    case Level::Warning: return "warning";
    case Level::Error: return "error";
  }
  return "info";
}
}  // namespace

void SetLogLevel(Level lowest) { g_lowest = lowest; }

int64_t UnixMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoTime(int64_t unixMicroseconds) { return line_watch::UtcText(unixMicroseconds); }

void Log(Level level, const std::string& text) {
  if (level < g_lowest) return;
  const std::lock_guard<std::mutex> lock(g_logMutex);
  std::fprintf(stderr, "%s %s %s\n", IsoTime(UnixMicroseconds()).c_str(), Name(level), text.c_str());
  std::fflush(stderr);
}

}  // namespace gateway
