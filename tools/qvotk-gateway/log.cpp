#include "log.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "line_watch/capture_file.h"

namespace gateway {
namespace {

Level g_lowest = Level::Info;
std::mutex g_logMutex;
FILE* g_out = nullptr;  // the real standard error, once stderr is taken over
bool g_journal = false;

struct LevelName {
  const char* word;
  int syslog;  // sd-daemon(3)'s prefix: <3> error, <4> warning, <6> info, <7> debug
};

LevelName NameOf(Level level) {
  switch (level) {
    case Level::Debug: return {"debug", 7};
    case Level::Info: return {"info", 6};
    case Level::Warning: return {"warning", 4};
    case Level::Error: return {"error", 3};
  }
  return {"info", 6};
}

// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connected
// to the journal; standard error is that stream when both match.
bool ToJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat status {};
  return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         fstat(2, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// The driver's reports, as the driver words them; each is logged at the
// level its words call for. The reason that follows a failed open
// ("QVOTOVEK  : ttyUSB9: not found (errno 2)") is an error as the failure is.
Level LevelOfReport(const std::string& report, std::string* failedPort) {
  const std::string failed = " : Fail to open ";
  const size_t at = report.find(failed);
  if (at != std::string::npos) {
    *failedPort = report.substr(at + failed.size());
    return Level::Error;
  }
  const bool reason = !failedPort->empty() && report.find(" : " + *failedPort + ": ") != std::string::npos;
  failedPort->clear();
  if (reason || report.find("Fail to") != std::string::npos) return Level::Error;
  if (report.find(" again") != std::string::npos) return Level::Info;  // "Found ... again"
  return Level::Warning;
}

// What reaches the taken-over stderr, gathered into lines.
std::mutex g_pendingMutex;
std::string g_pending;
std::string g_failedPort;  // of the driver's last report, when it was a failed open; under the same lock

ssize_t TakeStandardError(void*, const char* bytes, size_t size) {
  std::string lines;
  {
    const std::lock_guard<std::mutex> lock(g_pendingMutex);
    g_pending.append(bytes, size);
    const size_t end = g_pending.rfind('\n');
    if (end == std::string::npos) return static_cast<ssize_t>(size);
    lines = g_pending.substr(0, end);
    g_pending.erase(0, end + 1);
  }
  for (size_t at = 0; at <= lines.size();) {
    size_t next = lines.find('\n', at);
    if (next == std::string::npos) next = lines.size();
    std::string line = lines.substr(at, next - at);
    at = next + 1;
    if (line.empty()) continue;
    // "qvotk [32]: QVOTOVEK  : Fail to open ttyUSB9": the driver's, its code dropped.
    const size_t code = line.rfind("qvotk [", 0) == 0 ? line.find("]: ") : std::string::npos;
    if (code == std::string::npos) {
      Log(Level::Warning, "stderr", line);
    } else {
      line.erase(0, code + 3);
      Level level = Level::Warning;
      {
        // Every line's worker reports through here.
        const std::lock_guard<std::mutex> lock(g_pendingMutex);
        level = LevelOfReport(line, &g_failedPort);
      }
      Log(level, "driver", line);
    }
  }
  return static_cast<ssize_t>(size);
}

}  // namespace

void SetLogLevel(Level lowest) {
  g_lowest = lowest;
  g_journal = ToJournal();
}

int64_t UnixMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoTime(int64_t unixMicroseconds) { return line_watch::UtcText(unixMicroseconds); }

void Log(Level level, const std::string& source, const std::string& text) {
  if (level < g_lowest) return;
  const LevelName name = NameOf(level);
  const std::lock_guard<std::mutex> lock(g_logMutex);
  FILE* out = g_out != nullptr ? g_out : stderr;
  if (g_journal) {
    std::fprintf(out, "<%d>%s %s: %s\n", name.syslog, name.word, source.c_str(), text.c_str());
  } else {
    std::fprintf(out, "%s %s %s: %s\n", IsoTime(UnixMicroseconds()).c_str(), name.word, source.c_str(),
                 text.c_str());
  }
  std::fflush(out);
}

void LogStandardError() {
  const cookie_io_functions_t functions = {nullptr, TakeStandardError, nullptr, nullptr};
  FILE* taken = fopencookie(nullptr, "w", functions);
  if (taken == nullptr) return;  // the reports stay as they are, unstamped
  setvbuf(taken, nullptr, _IOLBF, 0);
  const std::lock_guard<std::mutex> lock(g_logMutex);
  g_out = stderr;
  // The C library lets a program set its standard streams; the driver's
  // fprintf(stderr, ...) then writes here.
  stderr = taken;
}

}  // namespace gateway
