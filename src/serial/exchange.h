// The half-duplex exchange on the controller line, and every read and
// write an exchange makes. The driver keys its transmitter with RTS: it
// raises RTS, sends only once CTS answers, and clears RTS once the frame has
// left, so that RTS is clear while the reply is awaited. Then it reads the
// reply's window: what the line brings from a frame start, with what no
// reply is skipped ahead of it:
// - bytes already waiting when the frame left: the controller cannot begin
//   its answer before its question has left the wire, so they answer an
//   earlier one (a duplicate, a reply later than its wait);
// - noise before the frame start, and before a second frame start inside
//   the window: no frame holds one, so the frame begins at the last;
// - every copy of the frame just sent: two-wire adapters hear their own
//   transmitter, a repeater may echo twice, and an earlier attempt's echo
//   may come late. A reply equal to its request is dropped with them, and
//   the attempt fails.
// Each attempt's reading ends by a deadline however slowly noise trickles
// in: the reply's time on the wire, one read time-out, and the time of the
// noise it may skip.
//
// The exchange reaches the port through the serial port's functions alone
// (serial_port.h), never the platform's services: the serial port captures
// what the exchange does on the line and notes a loss, so the exchange
// keeps no capture and no state of the port's own.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"

// CTS is polled at most this many times per send, with a 1 ms pause after
// each poll that did not see it.
constexpr uint32_t kCtsPolls = 19;

// At most this many characters are skipped ahead of a frame start in one
// attempt: stale bytes, noise and echo together.
constexpr uint32_t kMaxSkippedCharacters = 600;

// The most characters read past a window while telling the echo from a
// reply, kept for the next read.
constexpr uint32_t kMaxCarried = 64;

// The longest frame whose echo is known again: a longer one is sent, but
// its copies are not dropped.
constexpr uint32_t kMaxEchoedFrame = 64;

// A request's turns on one port: what the exchange keeps from a send to the
// reads that follow it.
struct LineTurn {
  PortHandle port;
  char frameStart;  // every frame, request or reply, opens with it

  // The attempt under way, from its send: a copy of the frame sent, kept
  // through the wait for late replies, since a late echo comes then too.
  char sent[kMaxEchoedFrame];
  uint32_t sentLength;  // 0: no copy to know again
  uint32_t staleBytes;  // waiting when the frame left: not its reply
  uint32_t skipped;
  uint32_t overrunsBefore;  // the port's overrun count when the frame left
  int64_t readStarted;      // when the reply's first read began
  uint32_t windowLength;    // the characters the attempt reads so far
  bool pieceRead;           // the window, or the rest, had its first read
  bool deadlineSet;         // only once a further read needs it
  int64_t deadline;         // reading stops then; 0: none

  // A byte of the reply taken arrived damaged, or input was lost meanwhile.
  bool damaged;

  // Read past the last window, the start of what comes next.
  char carried[kMaxCarried];
  uint32_t carriedCount;
};

// Starts a request's turns on the port. A port whose device has gone is
// sought again first: false while it is still gone, and the request ends
// then, with no turn on the line.
bool StartTurns(LineTurn* turn, PortHandle port, char frameStart);
// Ends the request's turns: the port's capture written, and what the host
// must hear of the port told.
void EndTurns(LineTurn* turn);
// The port's device has gone: no further attempt can reach the line.
bool LineGone(const LineTurn& turn);

// Sends a frame half-duplex: RTS on, waiting input discarded, CTS awaited,
// the frame written and out of the transmitter, RTS off. Starts an attempt;
// true when CTS answered and all `length` bytes were written.
bool SendFrame(LineTurn* turn, const char* bytes, uint32_t length);

// Receives the reply's window: `length` characters from a frame start into
// `buffer`, which holds at least `length` characters and the frame sent.
// Clears RTS. True when all arrived; what did arrive stays in the buffer
// either way.
bool ReceiveWindow(LineTurn* turn, char* buffer, uint32_t length);
// Receives `count` more characters of the reply into `buffer` (a block's
// rest after its head), within the attempt's time. Clears RTS.
bool ReceiveRest(LineTurn* turn, char* buffer, uint32_t count);

// Starts the wait for replies owed after a request's last attempt; false
// when none can be late (a read time-out of 0 waits for all its bytes).
// The wait ends by three read time-outs and 1200 characters' time on the
// wire; RTS is clear and stays so.
constexpr uint32_t kLateWaitTimeouts = 3;
constexpr uint32_t kMaxAwaitedCharacters = 1200;
bool StartLateWait(LineTurn* turn);
bool LateWaitOver(const LineTurn& turn);
// A window and the rest of one during the wait; `received` counts what
// arrived.
bool ReadLateWindow(LineTurn* turn, char* buffer, uint32_t length, uint32_t* received);
bool ReadLateRest(LineTurn* turn, char* buffer, uint32_t count, uint32_t* received);
