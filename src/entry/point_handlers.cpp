// Point names as the host asks about them: opcodes 3 and 4 with their
// QvoPointAddress.
#include "address/point_address.h"
#include "entry/handlers.h"
#include "protocol/block_rules.h"

namespace {

// Constants the host expects in its block on every call; their meaning is
// the host's.
constexpr uint32_t kFifthFieldValue = 0;
constexpr uint32_t kEighthFieldValue = 255;
constexpr uint32_t kNinthFieldValue = 16;

}  // namespace

QvoStatus ParsePointAddress(QvoRequest* request) {
  auto* block = static_cast<QvoPointAddress*>(request->params);
  if (block == nullptr) return QVO_STATUS_REJECTED;
  // A null name is taken as the empty name, which is invalid.
  const NamedPoint point = ValidatePointName(block->name);
  block->fifthField = kFifthFieldValue;
  block->ninthField = kNinthFieldValue;
  block->eighthField = kEighthFieldValue;
  if (!point.valid) return QVO_STATUS_REJECTED;
  block->pointKind = point.kind;
  // The S point leaves the number as the host had it.
  if (point.kind == QVO_POINT_NUMBERED) block->pointNumber = point.number;
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
