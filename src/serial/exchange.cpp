#include "serial/exchange.h"

#include <cstring>

#include "serial/serial_port.h"

namespace {

uint32_t Smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

// Sets the deadline of the attempt's reading: the window's characters and
// the noise it may skip on the wire, and one read time-out, from the first
// read. None with a read time-out of 0: a read then waits for all its
// characters, as the host asked.
void SetDeadline(LineTurn* turn) {
  turn->deadlineSet = true;
  uint32_t timeoutMs = 0;
  if (CommGetReadTimeout(turn->port, &timeoutMs) != CommStatus::Ok || timeoutMs == 0) return;
  turn->deadline = turn->readStarted + int64_t{timeoutMs} * 1000 +
                   CommWireMicroseconds(turn->port, turn->windowLength + kMaxSkippedCharacters);
}

// Makes `buffer` hold `want` characters, `have` of them there already: the
// carried ones first, then what the line brings in time. False when they
// did not all come.
bool Fill(LineTurn* turn, char* buffer, uint32_t* have, uint32_t want, uint32_t* received) {
  const uint32_t carried = Smaller(turn->carriedCount, want - *have);
  std::memcpy(buffer + *have, turn->carried, carried);
  std::memmove(turn->carried, turn->carried + carried, turn->carriedCount - carried);
  turn->carriedCount -= carried;
  *have += carried;
  if (*have >= want) return true;
  uint32_t got = 0;
  if (!turn->deadlineSet && !turn->pieceRead) {
    // One request on the port's own read time-out first: a reply that comes
    // whole within it costs nothing more, not even the deadline's reckoning.
    turn->pieceRead = true;
    const bool read = CommReadOnce(turn->port, buffer + *have, want - *have, &got);
    *have += got;
    *received += got;
    if (!read || got == 0) return false;
    if (*have >= want) return true;
    got = 0;
  }
  if (!turn->deadlineSet) SetDeadline(turn);
  const bool complete =
      CommReadBefore(turn->port, buffer + *have, want - *have, &got, turn->deadline) == CommStatus::Ok;
  *have += got;
  *received += got;
  return complete;
}

// Whether the window at `buffer` is a copy of the frame just sent. Reads on
// up to the frame's length while what came matches it.
bool IsEcho(LineTurn* turn, char* buffer, uint32_t* have, uint32_t* received) {
  const uint32_t length = turn->sentLength;
  if (length == 0 || std::memcmp(buffer, turn->sent, Smaller(*have, length)) != 0) return false;
  if (*have < length && !Fill(turn, buffer, have, length, received)) return false;
  return std::memcmp(buffer, turn->sent, length) == 0;
}

// Where a second frame start stands inside the window's `length`
// characters; 0 for none.
uint32_t SecondFrameStart(const LineTurn& turn, const char* buffer, uint32_t length) {
  if (length < 2) return 0;
  const auto* start = static_cast<const char*>(std::memchr(buffer + 1, turn.frameStart, length - 1));
  return start != nullptr ? static_cast<uint32_t>(start - buffer) : 0;
}

// Makes `buffer` hold `length` characters from a frame start: what was
// waiting when the frame left, noise ahead of the frame start, the echoes,
// and what stands before a second frame start are dropped. What was read
// past the window is carried to the next read.
bool AlignWindow(LineTurn* turn, char* buffer, uint32_t length, uint32_t* received) {
  uint32_t have = 0;
  for (;;) {
    if (have < length && !Fill(turn, buffer, &have, length, received)) return false;
    uint32_t drop = Smaller(turn->staleBytes, have);
    turn->staleBytes -= drop;
    if (drop == 0) {
      const auto* start = static_cast<const char*>(std::memchr(buffer, turn->frameStart, have));
      drop = start != nullptr ? static_cast<uint32_t>(start - buffer) : have;
    }
    if (drop == 0 && IsEcho(turn, buffer, &have, received)) drop = turn->sentLength;
    if (drop == 0) drop = SecondFrameStart(*turn, buffer, Smaller(have, length));
    if (drop == 0) {
      const uint32_t extra = have - length;
      std::memmove(turn->carried + extra, turn->carried, turn->carriedCount);
      std::memcpy(turn->carried, buffer + length, extra);
      turn->carriedCount += extra;
      return true;
    }
    turn->skipped += drop;
    if (turn->skipped > kMaxSkippedCharacters) return false;
    std::memmove(buffer, buffer + drop, have - drop);
    have -= drop;
  }
}

// A damaged byte comes as the error character; input lost shows only in
// the port's count.
void NoteDamage(LineTurn* turn, const char* bytes, uint32_t count) {
  if (std::memchr(bytes, static_cast<char>(kErrorChar), count) != nullptr ||
      CommInputOverruns(turn->port) != turn->overrunsBefore) {
    turn->damaged = true;
  }
}

}  // namespace

bool StartTurns(LineTurn* turn, PortHandle port, char frameStart) {
  std::memset(turn, 0, sizeof *turn);
  turn->port = port;
  turn->frameStart = frameStart;
  return CommBeginRequest(port);
}

void EndTurns(LineTurn* turn) { CommEndRequest(turn->port); }

bool LineGone(const LineTurn& turn) { return CommPortLost(turn.port); }

bool SendFrame(LineTurn* turn, const char* bytes, uint32_t length) {
  const PortHandle port = turn->port;
  turn->sentLength = length <= kMaxEchoedFrame ? length : 0;
  std::memcpy(turn->sent, bytes, turn->sentLength);
  turn->staleBytes = 0;
  turn->skipped = 0;
  turn->damaged = false;
  turn->deadline = 0;
  turn->deadlineSet = false;
  turn->carriedCount = 0;

  CommSetRts(port, true);
  // Stray bytes from an earlier exchange must not be taken for the reply.
  CommFlushInput(port);  // the drain's own result changes nothing here
  const bool ctsSeen = CommWaitForCts(port, kCtsPolls);
  CommStatus status = CommStatus::IoFailed;
  uint32_t written = 0;
  // The write returns once the frame has left the transmitter, so the line
  // can be released at once; what came meanwhile is no answer to it.
  if (ctsSeen) status = CommWrite(port, bytes, length, &written, &turn->staleBytes);
  CommSetRts(port, false);
  turn->overrunsBefore = CommInputOverruns(port);
  return ctsSeen && status == CommStatus::Ok && written == length;
}

bool ReceiveWindow(LineTurn* turn, char* buffer, uint32_t length) {
  turn->readStarted = CommNowMicroseconds();
  turn->pieceRead = false;
  turn->windowLength = length;
  uint32_t received = 0;
  const bool complete = AlignWindow(turn, buffer, length, &received);
  if (complete) NoteDamage(turn, buffer, length);
  CommSetRts(turn->port, false);
  return complete;
}

bool ReceiveRest(LineTurn* turn, char* buffer, uint32_t count) {
  turn->pieceRead = false;
  turn->windowLength += count;
  if (turn->deadline != 0) turn->deadline += CommWireMicroseconds(turn->port, count);
  uint32_t have = 0, received = 0;
  const bool complete = Fill(turn, buffer, &have, count, &received);
  if (complete) NoteDamage(turn, buffer, count);
  CommSetRts(turn->port, false);
  return complete;
}

bool StartLateWait(LineTurn* turn) {
  uint32_t timeoutMs = 0;
  if (CommGetReadTimeout(turn->port, &timeoutMs) != CommStatus::Ok || timeoutMs == 0) return false;
  turn->staleBytes = 0;
  turn->deadlineSet = true;
  turn->deadline = CommNowMicroseconds() + int64_t{kLateWaitTimeouts} * timeoutMs * 1000 +
                   CommWireMicroseconds(turn->port, kMaxAwaitedCharacters);
  return true;
}

bool LateWaitOver(const LineTurn& turn) { return CommNowMicroseconds() >= turn.deadline; }

bool ReadLateWindow(LineTurn* turn, char* buffer, uint32_t length, uint32_t* received) {
  turn->skipped = 0;
  return AlignWindow(turn, buffer, length, received);
}

bool ReadLateRest(LineTurn* turn, char* buffer, uint32_t count, uint32_t* received) {
  uint32_t have = 0;
  return Fill(turn, buffer, &have, count, received);
}
