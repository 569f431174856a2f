// One line an event on standard error: the time, the level, the words.
// No colour: a service manager's journal keeps the lines as they are.
#pragma once

#include <string>

namespace gateway {

enum class Level { Debug, Info, Warning, Error };

void SetLogLevel(Level lowest);
void Log(Level level, const std::string& text);

// "2026-12-08T10:00:00.123Z", UTC.
std::string IsoTime(int64_t unixMicroseconds);
int64_t UnixMicroseconds();

}  // namespace gateway
