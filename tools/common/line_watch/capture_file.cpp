#include "line_watch/capture_file.h"

#include <cstdio>
#include <ctime>
#include <fstream>

namespace line_watch {
namespace {

// The file's header: the classic pcap magic, written little-endian (so
// times are in microseconds), version 2.4, no time zone or accuracy, the
// longest record, and the link type, a serial line's.
constexpr uint32_t kMagic = 0xA1B2C3D4u;
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;
constexpr size_t kLinkTypeAt = 20;
constexpr uint32_t kLinkType = 250;
constexpr size_t kFileHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr size_t kEventHeader = 12;
constexpr uint32_t kLongestRecord = 65535;
constexpr int64_t kMicrosecondsPerSecond = 1000000;

uint32_t Little32(const std::string& text, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(text[at + static_cast<size_t>(i)]);
  return value;
}

void PutLittle(std::string* text, uint32_t value, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) text->push_back(static_cast<char>(value >> (8 * i)));
}

void PutBig32(std::string* text, uint32_t value) {
  for (int i = 3; i >= 0; --i) text->push_back(static_cast<char>(value >> (8 * i)));
}

bool CheckHeader(const std::string& header, const std::string& path, std::string* error) {
  if (header.size() < kFileHeader) {
    *error = path + " is too short for a capture";
    return false;
  }
  if (Little32(header, 0) != kMagic) {
    *error = path + " is no pcap capture of this kind (classic pcap, little-endian, microseconds)";
    return false;
  }
  if (Little32(header, kLinkTypeAt) != kLinkType) {
    *error = path + " is a capture of link type " + std::to_string(Little32(header, kLinkTypeAt)) +
             ", not of a serial line (250)";
    return false;
  }
  return true;
}

// The records in `data` from `at`; `at` moves past the last whole one.
// False when a record is impossible.
bool Parse(const std::string& data, size_t* at, std::vector<LineRecord>* records, std::string* error) {
  while (data.size() - *at >= kRecordHeader) {
    const uint32_t seconds = Little32(data, *at), micros = Little32(data, *at + 4);
    const uint32_t length = Little32(data, *at + 8);
    if (length > kLongestRecord || length < kEventHeader || micros >= kMicrosecondsPerSecond) {
      *error = "a record at byte " + std::to_string(*at) + " is damaged";
      return false;
    }
    if (data.size() - *at - kRecordHeader < length) break;  // not whole yet
    const size_t body = *at + kRecordHeader;
    LineRecord record;
    record.microseconds = int64_t{seconds} * kMicrosecondsPerSecond + micros;
    record.event = static_cast<LineEvent>(static_cast<uint8_t>(data[body + 8]));
    record.lines = static_cast<uint8_t>(data[body + 9]);
    record.bytes = data.substr(body + kEventHeader, length - kEventHeader);
    records->push_back(std::move(record));
    *at = body + length;
  }
  return true;
}

bool ReadFrom(const std::string& path, uint64_t offset, std::string* data) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  file.seekg(static_cast<std::streamoff>(offset));
  data->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

bool ReadCapture(const std::string& path, std::vector<LineRecord>* records, std::string* error) {
  std::string data;
  if (!ReadFrom(path, 0, &data)) {
    *error = "cannot read " + path;
    return false;
  }
  if (!CheckHeader(data, path, error)) return false;
  size_t at = kFileHeader;
  if (!Parse(data, &at, records, error)) return false;
  if (at != data.size()) {
    *error = path + " ends inside a record: it was cut short";
    return false;
  }
  return true;
}

bool CaptureFollower::SkipToEnd(std::string* error) {
  std::string data;
  if (!ReadFrom(path_, 0, &data) || data.empty()) return true;  // not started yet
  if (!CheckHeader(data, path_, error)) return false;
  std::vector<LineRecord> ignored;
  size_t at = kFileHeader;
  if (!Parse(data, &at, &ignored, error)) return false;
  offset_ = at;
  return true;
}

bool CaptureFollower::ReadNew(std::vector<LineRecord>* records, std::string* error) {
  std::string data;
  if (!ReadFrom(path_, offset_, &data)) return true;  // not there yet
  size_t at = 0;
  if (offset_ == 0) {
    if (data.size() < kFileHeader) return true;
    if (!CheckHeader(data, path_, error)) return false;
    at = kFileHeader;
  }
  if (!Parse(data, &at, records, error)) return false;
  offset_ += at;
  return true;
}

CaptureWriter::~CaptureWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CaptureWriter::Open(const std::string& path, std::string* error) {
  std::string start;
  ReadFrom(path, 0, &start);
  if (!start.empty() && !CheckHeader(start, path, error)) {
    *error += "; it is left alone";
    return false;
  }
  file_ = std::fopen(path.c_str(), "ab");
  if (file_ == nullptr) {
    *error = "cannot write " + path;
    return false;
  }
  if (start.empty()) {
    std::string header;
    PutLittle(&header, kMagic);
    PutLittle(&header, kVersionMajor, 2);
    PutLittle(&header, kVersionMinor, 2);
    PutLittle(&header, 0);
    PutLittle(&header, 0);
    PutLittle(&header, kLongestRecord);
    PutLittle(&header, kLinkType);
    std::fwrite(header.data(), 1, header.size(), file_);
  }
  return true;
}

bool CaptureWriter::Write(const LineRecord& record) {
  const auto seconds = static_cast<uint32_t>(record.microseconds / kMicrosecondsPerSecond);
  const auto micros = static_cast<uint32_t>(record.microseconds % kMicrosecondsPerSecond);
  const auto length = static_cast<uint32_t>(kEventHeader + record.bytes.size());
  std::string out;
  PutLittle(&out, seconds);
  PutLittle(&out, micros);
  PutLittle(&out, length);
  PutLittle(&out, length);
  PutBig32(&out, seconds);
  PutBig32(&out, micros);
  out.push_back(static_cast<char>(record.event));
  out.push_back(static_cast<char>(record.lines));
  out += std::string(2, '\0');
  out += record.bytes;
  return std::fwrite(out.data(), 1, out.size(), file_) == out.size();
}

void CaptureWriter::Flush() {
  if (file_ != nullptr) std::fflush(file_);
}

std::string CaptureFileFor(const std::string& pattern, const std::string& port) {
  std::string name = port;
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') c = '_';
  }
  std::string path = pattern;
  for (size_t at = 0; (at = path.find("%p", at)) != std::string::npos; at += name.size())
    path.replace(at, 2, name);
  return path;
}

std::string UtcText(int64_t unixMicroseconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixMicroseconds / kMicrosecondsPerSecond);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char full[48];
  std::snprintf(full, sizeof full, "%s.%03dZ", text,
                static_cast<int>(unixMicroseconds % kMicrosecondsPerSecond / 1000));
  return full;
}

const char* EventName(LineEvent event) {
  switch (event) {
    case LineEvent::StatusChange: return "status";
    case LineEvent::Sent: return "sent";
    case LineEvent::Received: return "received";
    case LineEvent::FramingError: return "framing error";
    case LineEvent::ParityError: return "parity error";
    case LineEvent::Break: return "break";
    case LineEvent::Overflow: return "input lost";
  }
  return "event";
}

}  // namespace line_watch
