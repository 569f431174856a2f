#include "protocol/value_requests.h"

#include "protocol/block_rules.h"
#include "protocol/frame.h"
#include "protocol/request_frames.h"
#include "protocol/retry.h"

// Every request's copies on the line are known again as its echo.
static_assert(kLongestRequestLength <= kMaxEchoedFrame);

namespace {

// What a reply that came answers: refused when it holds a character no
// controller sends, missing when it did not come framed.
QvoStatus StatusOf(ReplyOutcome outcome) {
  if (outcome == ReplyOutcome::Framed) return QVO_STATUS_OK;
  return outcome == ReplyOutcome::NotHex ? QVO_STATUS_REJECTED : QVO_STATUS_NO_ANSWER;
}

// One exchange of a single-value command: the request, then a framed reply
// of hexadecimal digits whose status character must be "0" and whose
// checksum, where verified, must hold.
QvoStatus Exchange(LineLedger* ledger, const char* frame, uint32_t frameLength, const ReplyShape& shape) {
  SendRequest(ledger, frame, frameLength);
  bool checksumHolds = false;
  const QvoStatus received = StatusOf(ReceiveSingleReply(ledger, shape, &checksumHolds));
  if (received != QVO_STATUS_OK) return received;
  if (ReplyDamaged(*ledger)) return QVO_STATUS_REJECTED;
  if (ledger->line->rxFrame[kReplyStatusPosition] != kReplyStatusOk) return QVO_STATUS_REJECTED;
  return checksumHolds ? QVO_STATUS_OK : QVO_STATUS_REJECTED;
}

// A station address that cannot travel as four digits addresses nobody,
// and a point number wider than three digits would be sent with its
// leading digits, that is as another point: nothing is sent.
bool CanAddress(const ControllerLine& line) { return line.station <= kMaxStationAddress; }
bool CanSendPoint(uint16_t pointNumber) { return pointNumber <= kMaxPointNumber; }

// Single attempts: one request frame, one reply, accounted in the request's
// ledger.

QvoStatus WriteSPoint(LineLedger* ledger, uint16_t value) {
  char frame[kLongestRequestLength];
  const uint32_t length = BuildWriteSPointRequest(frame, ledger->line->station, value);
  return Exchange(ledger, frame, length, kWriteSPointReply);
}

QvoStatus WriteNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t value) {
  // Only 1 and 2 can be written to a numbered point (codes 71 and 72).
  if (value == 0 || value > 2) return QVO_STATUS_REJECTED;
  char frame[kLongestRequestLength];
  const uint32_t length = BuildWritePointRequest(frame, ledger->line->station, pointNumber, value);
  return Exchange(ledger, frame, length, kWritePointReply);
}

QvoStatus ReadSPoint(LineLedger* ledger, uint16_t* value) {
  char frame[kLongestRequestLength];
  const uint32_t length = BuildReadSPointRequest(frame, ledger->line->station);
  const QvoStatus status = Exchange(ledger, frame, length, kReadSPointReply);
  if (status == QVO_STATUS_OK) *value = ParseHexDigits(ledger->line->rxFrame + kSPointValuePosition, 2);
  return status;
}

QvoStatus ReadNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t* value) {
  const ControllerLine& line = *ledger->line;
  const uint32_t length = BuildReadPointRequest(line.txFrame, line.station, pointNumber);
  const QvoStatus status = Exchange(ledger, line.txFrame, length, kReadPointReply);
  if (status == QVO_STATUS_OK) *value = ParseHexDigits(line.rxFrame + kPointValuePosition, 2);
  return status;
}

QvoStatus ReadBlockOnce(LineLedger* ledger, int32_t valueCount, uint16_t* values) {
  const ControllerLine& line = *ledger->line;
  const char* reply = line.rxFrame;

  SendRequest(ledger, line.txFrame, BuildBlockRequest(line.txFrame, line.station));
  const QvoStatus head = StatusOf(ReceiveBlockHead(ledger));
  if (head != QVO_STATUS_OK) return head;

  const uint32_t announced = static_cast<uint8_t>(ParseHexDigits(reply + 1, 2));
  const uint32_t asked = static_cast<uint8_t>(valueCount);
  bool checksumHolds = false;
  if (announced != asked) {
    // Read the rest as announced so that it is not taken for the next reply.
    ReceiveBlockRest(ledger, announced, &checksumHolds);
    return QVO_STATUS_NO_ANSWER;
  }
  const QvoStatus rest = StatusOf(ReceiveBlockRest(ledger, announced, &checksumHolds));
  if (rest != QVO_STATUS_OK) return rest;
  if (ReplyDamaged(*ledger) || !checksumHolds) return QVO_STATUS_REJECTED;
  for (uint32_t i = 0; i < asked; ++i) values[i] = ParseHexDigits(reply + 2 * i, 2);
  return QVO_STATUS_OK;
}

}  // namespace

QvoStatus ReadPointValue(const ControllerLine& line, uint32_t pointKind, uint16_t pointNumber,
                         uint16_t* value) {
  return OnLine(line, [&](LineLedger* ledger) -> QvoStatus {
    if (!CanAddress(line)) return QVO_STATUS_REJECTED;
    if (pointKind == QVO_POINT_S) {
      return RepeatAttempts(ledger, kReadSPointReply, [&] { return ReadSPoint(ledger, value); });
    }
    if (pointKind == QVO_POINT_NUMBERED && CanSendPoint(pointNumber)) {
      return RepeatAttempts(ledger, kReadPointReply,
                            [&] { return ReadNumberedPoint(ledger, pointNumber, value); });
    }
    return QVO_STATUS_REJECTED;
  });
}

QvoStatus WritePointValue(const ControllerLine& line, uint32_t pointKind, uint16_t pointNumber,
                          uint16_t value) {
  return OnLine(line, [&](LineLedger* ledger) -> QvoStatus {
    if (!CanAddress(line)) return QVO_STATUS_REJECTED;
    if (pointKind == QVO_POINT_S) {
      // The S point's value travels as one digit: a wider value would be
      // written as its first digit.
      if (value > kMaxSPointValue) return QVO_STATUS_REJECTED;
      return RepeatAttempts(ledger, kWriteSPointReply, [&] { return WriteSPoint(ledger, value); });
    }
    if (pointKind == QVO_POINT_NUMBERED && CanSendPoint(pointNumber)) {
      return RepeatAttempts(ledger, kWritePointReply,
                            [&] { return WriteNumberedPoint(ledger, pointNumber, value); });
    }
    return QVO_STATUS_REJECTED;
  });
}

QvoStatus ReadValueBlock(const ControllerLine& line, uint32_t pointKind, uint32_t pointNumber, int32_t count,
                         uint16_t* values) {
  return OnLine(line, [&](LineLedger* ledger) -> QvoStatus {
    if (!CanAddress(line) || !IsReadableBlock(pointKind, pointNumber, count)) return QVO_STATUS_REJECTED;
    if (values == nullptr && count != 0) return QVO_STATUS_REJECTED;
    return RepeatAttempts(ledger, kBlockReply, [&] { return ReadBlockOnce(ledger, count, values); });
  });
}
