// Replies from the controller: their layouts, how one is taken off the
// line, and the account a request keeps of the frames it sent and the
// replies that came back.
//
// A reply is framed when it begins with ":" and its last two characters are
// CR LF; the driver knows each reply's length in advance, or learns it from
// a block reply's count byte, so the framing shows a reply that noise on
// the line cut, shifted or lengthened. Between the ":" and CR LF a
// controller sends hexadecimal digits only: a framed reply that holds
// anything else (a stray letter, a byte the line damaged) is refused, and
// one that holds no hexadecimal digit at all is noise, no reply. What comes
// ahead of the ":", or of a second ":", the exchange skips
// (serial/exchange.h).
#pragma once

#include <cstdint>

#include "serial/exchange.h"

// What the driver knows of a reply before it comes: its length (0: a block
// reply, whose count byte gives it), and whether its checksum is verified.
struct ReplyShape {
  uint32_t length;
  bool checksummed;
};

// Single-value replies, each of one length. The status character is the
// second character of the first body byte; "0" is success. Only the
// numbered read's checksum is verified.
constexpr ReplyShape kWriteSPointReply = {15, false};
constexpr ReplyShape kWritePointReply = {19, false};
constexpr ReplyShape kReadSPointReply = {21, false};
constexpr ReplyShape kReadPointReply = {23, true};
constexpr uint32_t kReplyStatusPosition = 4;
constexpr char kReplyStatusOk = '0';
constexpr uint32_t kSPointValuePosition = 13;  // sixth of seven body bytes
constexpr uint32_t kPointValuePosition = 15;   // seventh of eight body bytes

// Block replies: ":" and the count byte n, then n values, the checksum and
// CR LF, read in a second piece over the first, from the start of the
// receive buffer.
constexpr ReplyShape kBlockReply = {0, true};
constexpr uint32_t kBlockHeadLength = 3;
constexpr uint32_t BlockRestLength(uint32_t values) { return 2 * values + 4; }

inline bool EndsFrame(const char* text, uint32_t length) {
  return length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
}

// The controller on a channel's line, as a request sees it: the port, the
// station address, and the channel's scratch space, which the host's
// records keep between requests.
constexpr uint32_t kTxFrameSize = 50;
constexpr uint32_t kRxFrameSize = 600;
struct ControllerLine {
  PortHandle port;
  uint16_t station;
  char* txFrame;        // kTxFrameSize characters
  char* rxFrame;        // kRxFrameSize characters: the reply read
  uint8_t* rxChecksum;  // the checksum byte of the last reply verified
};

// The checksum of `bodyBytes` body bytes from `body`, compared with the
// checksum byte that follows them, which is kept in `rxChecksum`.
bool ChecksumHolds(uint8_t* rxChecksum, const char* body, uint32_t bodyBytes);

// One request's account of the line: its turns on the port, the frames it
// sent, and the framed replies that came back, whether they were taken or
// not.
struct LineLedger {
  const ControllerLine* line;
  LineTurn turn;
  uint32_t framesSent;
  uint32_t answers;
};

// Starts a request's ledger and its turns on the line: false while the
// port's device is still gone (serial_port.h), and the request ends then.
bool StartLedger(LineLedger* ledger, const ControllerLine* line);
// Ends the request's turns on the line.
void EndLedger(LineLedger* ledger);

enum class ReplyOutcome : uint8_t {
  Framed,     // the reply stands framed at the start of the receive buffer
  NotHex,     // framed, but holding a character that is no hexadecimal digit: refused
  NotFramed,  // a reply's length of characters from a ":", without CR LF at their end, or no digit in them
  Missing,    // no ":" with a reply's length of characters after it came in time
};

// Sends a request frame half-duplex and counts it when it went out whole.
void SendRequest(LineLedger* ledger, const char* frame, uint32_t length);

// Receives a single-value reply into the line's receive buffer, and
// counts it as an answer when it is framed; `checksumHolds` tells whether
// its checksum holds where the shape has one verified.
ReplyOutcome ReceiveSingleReply(LineLedger* ledger, const ReplyShape& shape, bool* checksumHolds);

// Receives a block reply's head; Framed when it starts with ":" and its
// count is two hexadecimal digits (its end is judged with the rest).
ReplyOutcome ReceiveBlockHead(LineLedger* ledger);
// Receives the rest of a block reply of `values` values over the head, and
// counts the reply when the rest ends the frame; `checksumHolds` tells
// whether its checksum holds.
ReplyOutcome ReceiveBlockRest(LineLedger* ledger, uint32_t values, bool* checksumHolds);

// Whether a byte of the reply taken arrived damaged (a parity or framing
// error, a break, or input lost meanwhile): such a reply is not taken,
// whatever its checksum says.
inline bool ReplyDamaged(const LineLedger& ledger) { return ledger.turn.damaged; }

// Waits, after a request's last attempt, for the replies to its frames that
// have not come, reading and discarding what arrives meanwhile, until each
// has come, the line has been silent for kSilentTimeoutsEndingTheWait read
// time-outs, or the wait's time is up. Returns at once when every frame has
// its reply, and with a read time-out of 0 (a read then waits for all its
// characters, so no reply is ever late).
constexpr uint32_t kSilentTimeoutsEndingTheWait = 3;
void AwaitUnansweredFrames(LineLedger* ledger, const ReplyShape& shape);
