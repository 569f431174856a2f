#include "protocol/value_requests.h"

#include "protocol/block_rules.h"
#include "protocol/frame.h"
#include "protocol/request_frames.h"
#include "protocol/retry.h"

namespace {

// Single values travel in the host's array at index 1; index 0 is not used.
constexpr uint32_t kSingleValueIndex = 1;

// One exchange of a single-value command: the request, then a framed reply
// whose status character must be "0" and whose checksum, where verified,
// must hold.
QvoStatus Exchange(LineLedger* ledger, const char* frame, uint32_t frameLength, const ReplyShape& shape) {
  SendRequest(ledger, frame, frameLength);
  bool checksumHolds = false;
  if (ReceiveSingleReply(ledger, shape, &checksumHolds) != ReplyOutcome::Framed) return QVO_STATUS_NO_ANSWER;
  if (ReplyDamaged(*ledger)) return QVO_STATUS_REJECTED;
  if (ledger->channel->rxFrame[kReplyStatusPosition] != kReplyStatusOk) return QVO_STATUS_REJECTED;
  return checksumHolds ? QVO_STATUS_OK : QVO_STATUS_REJECTED;
}

// A value is one byte in two hexadecimal digits; other characters would
// give a number no byte can hold.
bool TakeValue(const char* text, uint16_t* value) {
  if (!AreHexDigits(text, 2)) return false;
  *value = ParseHexDigits(text, 2);
  return true;
}

// A station address that cannot travel as four digits addresses nobody:
// nothing is sent rather than a truncated address.
bool CanAddress(const QvoChannel* channel) { return channel->stationAddress <= kMaxStationAddress; }

QvoTransfer* TransferOf(QvoRequest* request) {
  auto* transfer = static_cast<QvoTransfer*>(request->params);
  if (request->channel == nullptr || transfer == nullptr || !CanAddress(request->channel)) return nullptr;
  return transfer;
}

// A single-value request also needs the host's array.
QvoTransfer* SingleValueTransferOf(QvoRequest* request) {
  QvoTransfer* transfer = TransferOf(request);
  return transfer != nullptr && transfer->values != nullptr ? transfer : nullptr;
}

// The low 16 bits of the host's point number, when they fit the three
// digits a frame carries; a wider number would be sent with its leading
// digits, that is as another point.
bool SendablePointNumber(const QvoTransfer* transfer, uint16_t* number) {
  *number = static_cast<uint16_t>(transfer->pointNumber);
  return *number <= kMaxPointNumber;
}

}  // namespace

QvoStatus WriteSPoint(LineLedger* ledger, uint16_t value) {
  char frame[kLongestRequestLength];
  const uint32_t length = BuildWriteSPointRequest(frame, ledger->channel->stationAddress, value);
  return Exchange(ledger, frame, length, kWriteSPointReply);
}

QvoStatus WriteNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t value) {
  // Only 1 and 2 can be written to a numbered point (codes 71 and 72).
  if (value == 0 || value > 2) return QVO_STATUS_REJECTED;
  char frame[kLongestRequestLength];
  const uint32_t length = BuildWritePointRequest(frame, ledger->channel->stationAddress, pointNumber, value);
  return Exchange(ledger, frame, length, kWritePointReply);
}

QvoStatus ReadSPoint(LineLedger* ledger, uint16_t* value) {
  char frame[kLongestRequestLength];
  const uint32_t length = BuildReadSPointRequest(frame, ledger->channel->stationAddress);
  const QvoStatus status = Exchange(ledger, frame, length, kReadSPointReply);
  if (status != QVO_STATUS_OK) return status;
  return TakeValue(ledger->channel->rxFrame + kSPointValuePosition, value) ? QVO_STATUS_OK
                                                                           : QVO_STATUS_REJECTED;
}

QvoStatus ReadNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t* value) {
  QvoChannel* channel = ledger->channel;
  const uint32_t length = BuildReadPointRequest(channel->txFrame, channel->stationAddress, pointNumber);
  const QvoStatus status = Exchange(ledger, channel->txFrame, length, kReadPointReply);
  if (status != QVO_STATUS_OK) return status;
  return TakeValue(channel->rxFrame + kPointValuePosition, value) ? QVO_STATUS_OK : QVO_STATUS_REJECTED;
}

QvoStatus ReadValue(QvoRequest* request) {
  QvoTransfer* transfer = SingleValueTransferOf(request);
  if (transfer == nullptr) return QVO_STATUS_REJECTED;
  LineLedger ledger;
  StartLedger(&ledger, request->channel);
  uint16_t* value = &transfer->values[kSingleValueIndex];
  if (transfer->pointKind == QVO_POINT_S) {
    return RepeatAttempts(&ledger, kReadSPointReply, [&] { return ReadSPoint(&ledger, value); });
  }
  if (transfer->pointKind == QVO_POINT_NUMBERED) {
    uint16_t number = 0;
    if (!SendablePointNumber(transfer, &number)) return QVO_STATUS_REJECTED;
    return RepeatAttempts(&ledger, kReadPointReply,
                          [&] { return ReadNumberedPoint(&ledger, number, value); });
  }
  return QVO_STATUS_REJECTED;
}

QvoStatus WriteValue(QvoRequest* request) {
  QvoTransfer* transfer = SingleValueTransferOf(request);
  if (transfer == nullptr) return QVO_STATUS_REJECTED;
  LineLedger ledger;
  StartLedger(&ledger, request->channel);
  const uint16_t value = transfer->values[kSingleValueIndex];
  if (transfer->pointKind == QVO_POINT_S) {
    // The S point's value travels as one digit: a wider value would be
    // written as its first digit.
    if (value > kMaxSPointValue) return QVO_STATUS_REJECTED;
    return RepeatAttempts(&ledger, kWriteSPointReply, [&] { return WriteSPoint(&ledger, value); });
  }
  if (transfer->pointKind == QVO_POINT_NUMBERED) {
    uint16_t number = 0;
    if (!SendablePointNumber(transfer, &number)) return QVO_STATUS_REJECTED;
    return RepeatAttempts(&ledger, kWritePointReply,
                          [&] { return WriteNumberedPoint(&ledger, number, value); });
  }
  return QVO_STATUS_REJECTED;
}

QvoStatus ReadBlockOnce(LineLedger* ledger, int32_t valueCount, uint16_t* values) {
  QvoChannel* channel = ledger->channel;
  const char* reply = channel->rxFrame;

  SendRequest(ledger, channel->txFrame, BuildBlockRequest(channel->txFrame, channel->stationAddress));
  if (ReceiveBlockHead(ledger) != ReplyOutcome::Framed) return QVO_STATUS_NO_ANSWER;

  const uint32_t announced = static_cast<uint8_t>(ParseHexDigits(reply + 1, 2));
  const uint32_t asked = static_cast<uint8_t>(valueCount);
  bool checksumHolds = false;
  if (announced != asked) {
    // Read the rest as announced so that it is not taken for the next reply.
    ReceiveBlockRest(ledger, announced, &checksumHolds);
    return QVO_STATUS_NO_ANSWER;
  }
  if (ReceiveBlockRest(ledger, announced, &checksumHolds) != ReplyOutcome::Framed)
    return QVO_STATUS_NO_ANSWER;
  if (ReplyDamaged(*ledger) || !checksumHolds) return QVO_STATUS_REJECTED;
  if (!AreHexDigits(reply, 2 * asked)) return QVO_STATUS_REJECTED;
  for (uint32_t i = 0; i < asked; ++i) values[i] = ParseHexDigits(reply + 2 * i, 2);
  return QVO_STATUS_OK;
}

QvoStatus ReadBlock(QvoRequest* request) {
  QvoTransfer* transfer = TransferOf(request);
  if (transfer == nullptr) return QVO_STATUS_REJECTED;
  if (!IsReadableBlock(transfer->pointKind, transfer->pointNumber, transfer->valueCount)) {
    return QVO_STATUS_REJECTED;
  }
  if (transfer->values == nullptr && transfer->valueCount != 0) return QVO_STATUS_REJECTED;
  LineLedger ledger;
  StartLedger(&ledger, request->channel);
  const int32_t count = transfer->valueCount;
  uint16_t* values = transfer->values;
  return RepeatAttempts(&ledger, kBlockReply, [&] { return ReadBlockOnce(&ledger, count, values); });
}
