// The value requests as the host makes them: opcodes 5, 6 and 7 with their
// QvoTransfer, unpacked into the controller's line and the point.
#include "entry/handlers.h"
#include "protocol/value_requests.h"

namespace {

// A single value travels in the host's array at index 1; index 0 is not used.
constexpr uint32_t kSingleValueIndex = 1;

static_assert(sizeof(QvoChannel::txFrame) == kTxFrameSize && sizeof(QvoChannel::rxFrame) == kRxFrameSize);

ControllerLine LineOf(QvoChannel* channel) {
  return {channel->port, channel->stationAddress, channel->txFrame, channel->rxFrame, &channel->rxChecksum};
}

// The request's transfer block, or null when the host sent no channel or no
// block.
QvoTransfer* TransferOf(QvoRequest* request) {
  return request->channel != nullptr ? static_cast<QvoTransfer*>(request->params) : nullptr;
}

// A single-value request also needs the host's array.
QvoTransfer* SingleValueTransferOf(QvoRequest* request) {
  QvoTransfer* transfer = TransferOf(request);
  return transfer != nullptr && transfer->values != nullptr ? transfer : nullptr;
}

// Single values name their point by the low 16 bits of the number.
uint16_t PointNumberOf(const QvoTransfer& transfer) { return static_cast<uint16_t>(transfer.pointNumber); }

}  // namespace

QvoStatus ReadValue(QvoRequest* request) {
  QvoTransfer* transfer = SingleValueTransferOf(request);
  if (transfer == nullptr) return QVO_STATUS_REJECTED;
  return ReadPointValue(LineOf(request->channel), transfer->pointKind, PointNumberOf(*transfer),
                        &transfer->values[kSingleValueIndex]);
}

QvoStatus WriteValue(QvoRequest* request) {
  QvoTransfer* transfer = SingleValueTransferOf(request);
  if (transfer == nullptr) return QVO_STATUS_REJECTED;
  return WritePointValue(LineOf(request->channel), transfer->pointKind, PointNumberOf(*transfer),
                         transfer->values[kSingleValueIndex]);
}

QvoStatus ReadBlock(QvoRequest* request) {
  QvoTransfer* transfer = TransferOf(request);
  if (transfer == nullptr) return QVO_STATUS_REJECTED;
  // A block names its point by the whole word, which must be 1.
  return ReadValueBlock(LineOf(request->channel), transfer->pointKind, transfer->pointNumber,
                        transfer->valueCount, transfer->values);
}
