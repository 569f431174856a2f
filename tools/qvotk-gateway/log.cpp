#include "log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

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

std::string IsoTime(int64_t unixMicroseconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixMicroseconds / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char full[48];
  std::snprintf(full, sizeof full, "%s.%03dZ", text, static_cast<int>(unixMicroseconds % 1000000 / 1000));
  return full;
}

void Log(Level level, const std::string& text) {
  if (level < g_lowest) return;
  const std::lock_guard<std::mutex> lock(g_logMutex);
  std::fprintf(stderr, "%s %s %s\n", IsoTime(UnixMicroseconds()).c_str(), Name(level), text.c_str());
  std::fflush(stderr);
}

}  // namespace gateway
