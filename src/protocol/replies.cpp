#include "protocol/replies.h"

#include <cstring>

#include "protocol/frame.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"

namespace {

// Reads `count` characters to `at` through the serial layer; false when
// they did not all arrive. `received` counts what did.
bool ReadMore(PortHandle port, char* at, uint32_t count, uint32_t* received) {
  uint32_t got = 0;
  const CommStatus status = CommRead(port, at, count, &got);
  *received += got;
  return status == CommStatus::Ok;
}

// Makes `buffer` hold `length` characters from a ":", given the `have`
// characters already in it. What precedes the first ":" is dropped and the
// characters still missing are read, so that a whole reply counts from
// that ":". While what was read holds no ":", reads on, `length` at a time.
ReplyOutcome AlignToFrameStart(PortHandle port, char* buffer, uint32_t length, uint32_t have,
                               uint32_t* received) {
  uint32_t skipped = 0;
  for (;;) {
    const auto* start = static_cast<const char*>(std::memchr(buffer, ':', have));
    const uint32_t drop = start != nullptr ? static_cast<uint32_t>(start - buffer) : have;
    if (start != nullptr && drop == 0 && have == length) return ReplyOutcome::Framed;
    skipped += drop;
    if (skipped > kMaxSkippedCharacters) return ReplyOutcome::NoFrameStart;
    std::memmove(buffer, buffer + drop, have - drop);
    have -= drop;
    if (!ReadMore(port, buffer + have, length - have, received)) return ReplyOutcome::Missing;
    if (start != nullptr) return ReplyOutcome::Framed;
    have = length;
  }
}

// Judges a reply (for a block, its rest) that stands from `text` with its
// `bodyBytes` body bytes at `body`. A framed reply is one answer, taken or
// not; its checksum is looked at where the shape has it verified.
ReplyOutcome Judge(LineLedger* ledger, const ReplyShape& shape, const char* text, uint32_t length,
                   const char* body, uint32_t bodyBytes, bool* checksumHolds) {
  if (!EndsFrame(text, length)) return ReplyOutcome::NotFramed;
  ++ledger->answers;
  *checksumHolds = !shape.checksummed || ChecksumHolds(ledger->channel, body, bodyBytes);
  return ReplyOutcome::Framed;
}

// The body bytes of a single-value reply of `length` characters.
constexpr uint32_t BodyBytes(uint32_t length) { return (length - 7) / 2; }

// The count a block reply's head announces, as a count byte holds it.
uint32_t AnnouncedValues(const char* head) { return static_cast<uint8_t>(ParseHexDigits(head + 1, 2)); }

// One reply off the line during the wait, through the serial layer's read
// alone: RTS is clear already and stays so.
ReplyOutcome TakeLateReply(LineLedger* ledger, const ReplyShape& shape, uint32_t* received) {
  const PortHandle port = ledger->channel->port;
  char* buffer = ledger->channel->rxFrame;
  const bool block = shape.length == kBlockReply.length;
  const uint32_t head = block ? kBlockHeadLength : shape.length;
  const ReplyOutcome start = AlignToFrameStart(port, buffer, head, 0, received);
  if (start != ReplyOutcome::Framed) return start;
  bool checksumHolds = false;
  if (!block)
    return Judge(ledger, shape, buffer, head, buffer + kFrameBodyStart, BodyBytes(head), &checksumHolds);
  const uint32_t values = AnnouncedValues(buffer);
  if (!ReadMore(port, buffer, BlockRestLength(values), received)) return ReplyOutcome::Missing;
  return Judge(ledger, shape, buffer, BlockRestLength(values), buffer, values, &checksumHolds);
}

}  // namespace

bool ChecksumHolds(QvoChannel* channel, const char* body, uint32_t bodyBytes) {
  channel->rxChecksum = static_cast<uint8_t>(ParseHexDigits(body + 2 * bodyBytes, 2));
  return FrameChecksum(body, static_cast<uint8_t>(bodyBytes)) == channel->rxChecksum;
}

void SendRequest(LineLedger* ledger, const char* frame, uint32_t length) {
  // A send that failed shows as a missing reply; the reply is awaited either way.
  if (SendFrame(ledger->channel->port, frame, length)) ++ledger->framesSent;
}

ReplyOutcome ReceiveSingleReply(LineLedger* ledger, const ReplyShape& shape, bool* checksumHolds) {
  QvoChannel* channel = ledger->channel;
  char* reply = channel->rxFrame;
  const uint32_t length = shape.length;
  if (!ReceiveFrame(channel->port, reply, length)) return ReplyOutcome::Missing;
  uint32_t received = 0;
  const ReplyOutcome start = AlignToFrameStart(channel->port, reply, length, length, &received);
  if (start != ReplyOutcome::Framed) return start;
  return Judge(ledger, shape, reply, length, reply + kFrameBodyStart, BodyBytes(length), checksumHolds);
}

ReplyOutcome ReceiveBlockHead(LineLedger* ledger) {
  QvoChannel* channel = ledger->channel;
  if (!ReceiveFrame(channel->port, channel->rxFrame, kBlockHeadLength)) return ReplyOutcome::Missing;
  uint32_t received = 0;
  return AlignToFrameStart(channel->port, channel->rxFrame, kBlockHeadLength, kBlockHeadLength, &received);
}

ReplyOutcome ReceiveBlockRest(LineLedger* ledger, uint32_t values, bool* checksumHolds) {
  QvoChannel* channel = ledger->channel;
  const uint32_t length = BlockRestLength(values);
  if (!ReceiveFrame(channel->port, channel->rxFrame, length)) return ReplyOutcome::Missing;
  return Judge(ledger, kBlockReply, channel->rxFrame, length, channel->rxFrame, values, checksumHolds);
}

void AwaitUnansweredFrames(LineLedger* ledger, const ReplyShape& shape) {
  if (ledger->answers >= ledger->framesSent) return;
  const PortHandle port = ledger->channel->port;
  uint32_t timeoutMs = 0;
  if (!CommGetReadTimeout(port, &timeoutMs) || timeoutMs == 0) return;

  uint32_t silentTimeouts = 0;
  uint32_t received = 0;
  while (ledger->answers < ledger->framesSent && silentTimeouts < kSilentTimeoutsEndingTheWait &&
         received < kMaxAwaitedCharacters) {
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
