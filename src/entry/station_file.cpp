#include "entry/station_file.h"

#include <cstdio>

#include "platform/host/station_file.h"
#include "protocol/request_frames.h"
#include "qvotk/qvotk.h"

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

uint16_t ParseStationAddress(const char* text, uint32_t length) {
  uint32_t i = 0;
  while (i < length && text[i] != '=' && text[i] != '\0') ++i;
  if (i >= length || text[i] != '=') return kDefaultStationAddress;
  ++i;
  while (i < length && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= length || text[i] < '0' || text[i] > '9') return kDefaultStationAddress;
  uint32_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    if (value > kMaxStationAddress) return kUnaddressableStation;
  }
  if (negative && value != 0) return kUnaddressableStation;
  return static_cast<uint16_t>(value);
}

uint16_t LoadStationAddress(int32_t lineNumber) {
  char name[32];
  std::snprintf(name, sizeof name, QVO_STATION_FILE_PATTERN, static_cast<int>(lineNumber));
  char text[kStationFileBytes];
  uint32_t length = 0;
  if (!ReadStationFile(name, text, sizeof text, &length)) return kDefaultStationAddress;
  return ParseStationAddress(text, length);
}
