#include "address/point_address.h"

#include "protocol/frame.h"
#include "qvotk/qvotk.h"

namespace {

bool IsAllowed(const char* allowed, char c) {
  for (; *allowed != '\0'; ++allowed) {
    if (*allowed == c) return true;
  }
  return false;
}

}  // namespace

void NormalizePointName(const char* name, PointNameBuffer* buffer) {
  uint32_t i = 0;
  if (name != nullptr) {
    for (; i < kPointNameWidth && name[i] != '\0'; ++i) buffer->text[i] = UpcaseChar(name[i]);
  }
  for (; i < kPointNameWidth; ++i) buffer->text[i] = ' ';
}

bool MatchPattern(const PointPattern& pattern, const PointNameBuffer& buffer) {
  for (uint32_t i = 0; i < kPointNameWidth; ++i) {
    if (!IsAllowed(pattern.allowed[i], buffer.text[i])) return false;
  }
  return true;
}

NamedPoint ValidatePointName(const char* name) {
  PointNameBuffer buffer;
  NormalizePointName(name, &buffer);
  if (!MatchPattern(kSPointPattern, buffer) && !MatchPattern(kNumberedPointPattern, buffer)) {
    return {false, 0, 0};
  }
  if (buffer.text[0] == 'S') return {true, QVO_POINT_S, 0};
  return {true, QVO_POINT_NUMBERED,
          (buffer.text[0] - '0') * 100 + (buffer.text[1] - '0') * 10 + (buffer.text[2] - '0')};
}
