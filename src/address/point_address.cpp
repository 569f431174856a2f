#include "address/point_address.h"

#include "protocol/block_rules.h"
#include "protocol/frame.h"

namespace {

// Constants the host expects in its block on every call; their meaning is
// the host's.
constexpr uint32_t kFifthFieldValue = 0;
constexpr uint32_t kEighthFieldValue = 255;
constexpr uint32_t kNinthFieldValue = 16;

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

QvoStatus ParsePointAddress(QvoRequest* request) {
  auto* block = static_cast<QvoPointAddress*>(request->params);
  if (block == nullptr) return QVO_STATUS_REJECTED;

  // A null name is taken as the empty name, which is invalid.
  PointNameBuffer buffer;
  NormalizePointName(block->name, &buffer);
  block->fifthField = kFifthFieldValue;
  block->ninthField = kNinthFieldValue;
  block->eighthField = kEighthFieldValue;

  if (!MatchPattern(kSPointPattern, buffer) && !MatchPattern(kNumberedPointPattern, buffer)) {
    return QVO_STATUS_REJECTED;
  }
  if (buffer.text[0] == 'S') {
    block->pointKind = QVO_POINT_S;
    return QVO_STATUS_OK;
  }
  block->pointKind = QVO_POINT_NUMBERED;
  block->pointNumber = (buffer.text[0] - '0') * 100 + (buffer.text[1] - '0') * 10 + (buffer.text[2] - '0');
  return QVO_STATUS_OK;
}

QvoStatus CheckBlockAddress(QvoRequest* request) {
  if (ParsePointAddress(request) != QVO_STATUS_OK) return QVO_STATUS_REJECTED;
  const auto* block = static_cast<const QvoPointAddress*>(request->params);
  if (!IsReadableBlock(block->pointKind, static_cast<uint32_t>(block->pointNumber), block->valueCount)) {
    return QVO_STATUS_REJECTED;
  }
  return QVO_STATUS_OK;
}
