#include "protocol/replies.h"

#include "protocol/frame.h"
#include "serial/exchange.h"

namespace {

bool HoldsHexDigit(const char* text, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (AreHexDigits(text + i, 1)) return true;
  }
  return false;
}

// Judges a reply (for a block, its rest) whose `count` characters between
// its ":" and CR LF stand from `inside`, with its `bodyBytes` body bytes at
// `body`. A framed reply with a digit in it is one answer, taken or not;
// its checksum is looked at where the shape has it verified.
ReplyOutcome Judge(LineLedger* ledger, const ReplyShape& shape, const char* inside, uint32_t count,
                   const char* body, uint32_t bodyBytes, bool* checksumHolds) {
  if (!EndsFrame(inside, count + 2)) return ReplyOutcome::NotFramed;
  // Start characters and line ends alone are noise: counted as the answer
  // to a frame, they would let its real reply reach the next request.
  if (!HoldsHexDigit(inside, count)) return ReplyOutcome::NotFramed;
  ++ledger->answers;
  if (!AreHexDigits(inside, count)) return ReplyOutcome::NotHex;
  *checksumHolds = !shape.checksummed || ChecksumHolds(ledger->line->rxChecksum, body, bodyBytes);
  return ReplyOutcome::Framed;
}

// A single-value reply of `length` characters: its body bytes, and the
// characters between its ":" and CR LF.
constexpr uint32_t BodyBytes(uint32_t length) { return (length - 7) / 2; }
constexpr uint32_t InsideCount(uint32_t length) { return length - 3; }

// A block reply's head, read: whether its count is two digits.
bool HeadReadable(const char* head) { return AreHexDigits(head + 1, 2); }

// The count a block reply's head announces, as a count byte holds it.
uint32_t AnnouncedValues(const char* head) { return static_cast<uint8_t>(ParseHexDigits(head + 1, 2)); }

// One reply off the line during the wait; `received` counts what arrived.
ReplyOutcome TakeLateReply(LineLedger* ledger, const ReplyShape& shape, uint32_t* received) {
  char* buffer = ledger->line->rxFrame;
  const bool block = shape.length == kBlockReply.length;
  const uint32_t head = block ? kBlockHeadLength : shape.length;
  if (!ReadLateWindow(&ledger->turn, buffer, head, received)) return ReplyOutcome::Missing;
  bool checksumHolds = false;
  if (!block) {
    return Judge(ledger, shape, buffer + 1, InsideCount(head), buffer + kFrameBodyStart, BodyBytes(head),
                 &checksumHolds);
  }
  if (!HeadReadable(buffer)) return ReplyOutcome::NotHex;
  const uint32_t values = AnnouncedValues(buffer);
  if (!ReadLateRest(&ledger->turn, buffer, BlockRestLength(values), received)) return ReplyOutcome::Missing;
  return Judge(ledger, shape, buffer, BlockRestLength(values) - 2, buffer, values, &checksumHolds);
}

}  // namespace

bool ChecksumHolds(uint8_t* rxChecksum, const char* body, uint32_t bodyBytes) {
  *rxChecksum = static_cast<uint8_t>(ParseHexDigits(body + 2 * bodyBytes, 2));
  return FrameChecksum(body, static_cast<uint8_t>(bodyBytes)) == *rxChecksum;
}

bool StartLedger(LineLedger* ledger, const ControllerLine* line) {
  ledger->line = line;
  ledger->framesSent = 0;
  ledger->answers = 0;
  return StartTurns(&ledger->turn, line->port, kFrameStart);
}

void EndLedger(LineLedger* ledger) { EndTurns(&ledger->turn); }

void SendRequest(LineLedger* ledger, const char* frame, uint32_t length) {
  // A send that failed shows as a missing reply; the reply is awaited either way.
  if (SendFrame(&ledger->turn, frame, length)) ++ledger->framesSent;
}

ReplyOutcome ReceiveSingleReply(LineLedger* ledger, const ReplyShape& shape, bool* checksumHolds) {
  char* reply = ledger->line->rxFrame;
  const uint32_t length = shape.length;
  if (!ReceiveWindow(&ledger->turn, reply, length)) return ReplyOutcome::Missing;
  return Judge(ledger, shape, reply + 1, InsideCount(length), reply + kFrameBodyStart, BodyBytes(length),
               checksumHolds);
}

ReplyOutcome ReceiveBlockHead(LineLedger* ledger) {
  char* head = ledger->line->rxFrame;
  if (!ReceiveWindow(&ledger->turn, head, kBlockHeadLength)) return ReplyOutcome::Missing;
  return HeadReadable(head) ? ReplyOutcome::Framed : ReplyOutcome::NotHex;
}

ReplyOutcome ReceiveBlockRest(LineLedger* ledger, uint32_t values, bool* checksumHolds) {
  char* rest = ledger->line->rxFrame;
  const uint32_t length = BlockRestLength(values);
  if (!ReceiveRest(&ledger->turn, rest, length)) return ReplyOutcome::Missing;
  return Judge(ledger, kBlockReply, rest, length - 2, rest, values, checksumHolds);
}

void AwaitUnansweredFrames(LineLedger* ledger, const ReplyShape& shape) {
  if (ledger->answers >= ledger->framesSent || !StartLateWait(&ledger->turn)) return;
  uint32_t silentTimeouts = 0;
  uint32_t received = 0;
  while (ledger->answers < ledger->framesSent && silentTimeouts < kSilentTimeoutsEndingTheWait &&
         received < kMaxAwaitedCharacters && !LateWaitOver(ledger->turn)) {
    uint32_t got = 0;
    const ReplyOutcome outcome = TakeLateReply(ledger, shape, &got);
    received += got;
    // A read that fails at once (the port is gone) counts as silence too,
    // and ends the wait as quickly.
    if (outcome == ReplyOutcome::Missing) {
      silentTimeouts = got == 0 ? silentTimeouts + 1 : 1;
    } else {
      silentTimeouts = 0;
    }
  }
}
