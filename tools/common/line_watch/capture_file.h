// Captures of a serial line as the driver writes them: classic pcap files
// of link type 250, one record per event of the line (bytes sent, bytes
// received, a line error, the port lost or found), each with the time, the
// event and the modem lines in a 12-byte header ahead of its bytes. Read
// here on their own terms, apart from the driver's writer, so that each
// checks the other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace line_watch {

enum class LineEvent : uint8_t {
  StatusChange = 0,  // "lost", "found"
  Sent = 1,
  Received = 2,
  FramingError = 7,
  ParityError = 8,
  Break = 9,
  Overflow = 10,
};
constexpr uint8_t kCtsOn = 0x01;
constexpr uint8_t kRtsOn = 0x08;

struct LineRecord {
  int64_t microseconds = 0;  // since 1970
  LineEvent event = LineEvent::Received;
  uint8_t lines = 0;
  std::string bytes;
};

// Reads a whole capture; false with the reason when the file is no such
// capture (another format, another link type, cut short).
bool ReadCapture(const std::string& path, std::vector<LineRecord>* records, std::string* error);

// Follows a capture while it is written: each call gives the records that
// were completed since the last one.
class CaptureFollower {
 public:
  explicit CaptureFollower(std::string path) : path_(std::move(path)) {}
  // Starts after what the file holds now; false when it holds no capture.
  bool SkipToEnd(std::string* error);
  bool ReadNew(std::vector<LineRecord>* records, std::string* error);

 private:
  std::string path_;
  uint64_t offset_ = 0;  // 0: the header is still to be read
};

// Appends records to a capture, starting the file when it is new; a file
// that holds something else is left alone.
class CaptureWriter {
 public:
  ~CaptureWriter();
  bool Open(const std::string& path, std::string* error);
  bool Write(const LineRecord& record);
  void Flush();

 private:
  std::FILE* file_ = nullptr;
};

const char* EventName(LineEvent event);

// A record's time, or any unix time in microseconds, as ISO 8601 UTC with
// milliseconds: "2026-12-08T10:00:00.123Z".
std::string UtcText(int64_t unixMicroseconds);

// The file the driver captures a port's line to, for the QVOTK_CAPTURE
// pattern `pattern`: each "%p" is the port's name as the driver opens it,
// with '/', '\' and ':' as '_'.
std::string CaptureFileFor(const std::string& pattern, const std::string& port);

}  // namespace line_watch
