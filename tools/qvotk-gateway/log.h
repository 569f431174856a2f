// One line an event on standard error: the time, the level, the source and
// the words ("2026-12-08T10:00:00.123Z warning line north: station 12
// offline: ..."). Under systemd, whose journal stamps each line itself and
// reads its level from a "<N>" prefix, the time gives way to that prefix.
// No colour: a service manager keeps the lines as they are.
#pragma once

#include <cstdint>
#include <string>

namespace gateway {

enum class Level { Debug, Info, Warning, Error };

void SetLogLevel(Level lowest);
void Log(Level level, const std::string& source, const std::string& text);

// From here on, what the process writes to stderr through the C library (the
// driver's reports to its host, one a line, "qvotk [32]: ...") is logged
// like the gateway's own lines, with source "driver".
void LogStandardError();

// "2026-12-08T10:00:00.123Z", UTC.
std::string IsoTime(int64_t unixMicroseconds);
int64_t UnixMicroseconds();

}  // namespace gateway
