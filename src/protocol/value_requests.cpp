#include "protocol/value_requests.h"

#include "protocol/block_rules.h"
#include "protocol/frame.h"
#include "protocol/request_frames.h"
#include "protocol/retry.h"
#include "serial/exchange.h"

namespace {

// Where the value sits in each single-value reply, and the numbered read's
// checksum (the only single-value reply whose checksum is verified).
constexpr uint32_t kSPointValuePosition = 13;  // sixth of seven body bytes
constexpr uint32_t kPointValuePosition = 15;   // seventh of eight body bytes
constexpr uint32_t kPointReplyBodyBytes = 8;
constexpr uint32_t kPointReplyChecksumPosition = 19;

// Block replies: ":" and the count byte, then n values, the checksum and
// CR LF, read in a second piece from the start of the receive buffer.
constexpr uint32_t kBlockHeadLength = 3;
constexpr uint32_t BlockRestLength(uint32_t values) { return 2 * values + 4; }

// Single values travel in the host's array at index 1; index 0 is not used.
constexpr uint32_t kSingleValueIndex = 1;

// One exchange of a single-value command: the request, then a reply of
// known length whose status character must be "0".
QvoStatus Exchange(QvoChannel* channel, const char* frame, uint32_t frameLength, uint32_t replyLength) {
  // A failed send shows as a missing reply; the reply is awaited either way.
  SendFrame(channel, frame, frameLength);
  if (!ReceiveFrame(channel, channel->rxFrame, replyLength)) return kStatusNoAnswer;
  if (channel->rxFrame[kReplyStatusPosition] != kReplyStatusOk) return kStatusRejected;
  return kStatusOk;
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

QvoStatus WriteSPoint(QvoChannel* channel, uint16_t value) {
  char frame[kLongestRequestLength];
  const uint32_t length = BuildWriteSPointRequest(frame, channel->stationAddress, value);
  return Exchange(channel, frame, length, kWriteSPointReplyLength);
}

QvoStatus WriteNumberedPoint(QvoChannel* channel, uint16_t pointNumber, uint16_t value) {
  // Only 1 and 2 can be written to a numbered point (codes 71 and 72).
  if (value == 0 || value > 2) return kStatusRejected;
  char frame[kLongestRequestLength];
  const uint32_t length = BuildWritePointRequest(frame, channel->stationAddress, pointNumber, value);
  return Exchange(channel, frame, length, kWritePointReplyLength);
}

QvoStatus ReadSPoint(QvoChannel* channel, uint16_t* value) {
  char frame[kLongestRequestLength];
  const uint32_t length = BuildReadSPointRequest(frame, channel->stationAddress);
  const QvoStatus status = Exchange(channel, frame, length, kReadSPointReplyLength);
  if (status != kStatusOk) return status;
  *value = ParseHexDigits(channel->rxFrame + kSPointValuePosition, 2);
  return kStatusOk;
}

QvoStatus ReadNumberedPoint(QvoChannel* channel, uint16_t pointNumber, uint16_t* value) {
  const uint32_t length = BuildReadPointRequest(channel->txFrame, channel->stationAddress, pointNumber);
  const QvoStatus status = Exchange(channel, channel->txFrame, length, kReadPointReplyLength);
  if (status != kStatusOk) return status;
  channel->rxChecksum =
      static_cast<uint8_t>(ParseHexDigits(channel->rxFrame + kPointReplyChecksumPosition, 2));
  if (FrameChecksum(channel->rxFrame + kFrameBodyStart, kPointReplyBodyBytes) != channel->rxChecksum) {
    return kStatusRejected;
  }
  *value = ParseHexDigits(channel->rxFrame + kPointValuePosition, 2);
  return kStatusOk;
}

QvoStatus ReadValue(QvoRequest* request) {
  QvoTransfer* transfer = SingleValueTransferOf(request);
  if (transfer == nullptr) return kStatusRejected;
  QvoChannel* channel = request->channel;
  uint16_t* value = &transfer->values[kSingleValueIndex];
  if (transfer->pointKind == kPointKindS) {
    return RepeatAttempts([&] { return ReadSPoint(channel, value); });
  }
  if (transfer->pointKind == kPointKindNumbered) {
    uint16_t number = 0;
    if (!SendablePointNumber(transfer, &number)) return kStatusRejected;
    return RepeatAttempts([&] { return ReadNumberedPoint(channel, number, value); });
  }
  return kStatusRejected;
}

QvoStatus WriteValue(QvoRequest* request) {
  QvoTransfer* transfer = SingleValueTransferOf(request);
  if (transfer == nullptr) return kStatusRejected;
  QvoChannel* channel = request->channel;
  const uint16_t value = transfer->values[kSingleValueIndex];
  if (transfer->pointKind == kPointKindS) {
    // The S point's value travels as one digit: a wider value would be
    // written as its first digit.
    if (value > kMaxSPointValue) return kStatusRejected;
    return RepeatAttempts([&] { return WriteSPoint(channel, value); });
  }
  if (transfer->pointKind == kPointKindNumbered) {
    uint16_t number = 0;
    if (!SendablePointNumber(transfer, &number)) return kStatusRejected;
    return RepeatAttempts([&] { return WriteNumberedPoint(channel, number, value); });
  }
  return kStatusRejected;
}

QvoStatus ReadBlockOnce(QvoRequest* request, uint16_t* values) {
  QvoChannel* channel = request->channel;
  const auto* transfer = static_cast<const QvoTransfer*>(request->params);
  char* reply = channel->rxFrame;

  const uint32_t length = BuildBlockRequest(channel->txFrame, channel->stationAddress);
  SendFrame(channel, channel->txFrame, length);  // a failed send shows as a missing reply
  if (!ReceiveFrame(channel, reply, kBlockHeadLength)) return kStatusNoAnswer;

  const auto announced = static_cast<uint8_t>(ParseHexDigits(reply + 1, 2));
  const auto asked = static_cast<uint8_t>(transfer->valueCount);
  if (announced != asked) {
    // Read the rest as announced so that it is not taken for the next reply.
    ReceiveFrame(channel, reply, BlockRestLength(announced));
    return kStatusNoAnswer;
  }
  if (!ReceiveFrame(channel, reply, BlockRestLength(announced))) return kStatusNoAnswer;

  channel->rxChecksum = static_cast<uint8_t>(ParseHexDigits(reply + 2 * announced, 2));
  if (FrameChecksum(reply, announced) != channel->rxChecksum) return kStatusRejected;
  for (uint32_t i = 0; i < asked; ++i) values[i] = ParseHexDigits(reply + 2 * i, 2);
  return kStatusOk;
}

QvoStatus ReadBlock(QvoRequest* request) {
  QvoTransfer* transfer = TransferOf(request);
  if (transfer == nullptr) return kStatusRejected;
  if (!IsReadableBlock(transfer->pointKind, transfer->pointNumber, transfer->valueCount)) {
    return kStatusRejected;
  }
  if (transfer->values == nullptr && transfer->valueCount != 0) return kStatusRejected;
  uint16_t* values = transfer->values;
  return RepeatAttempts([&] { return ReadBlockOnce(request, values); });
}
