// Requests as a host builds them, for tests, benchmarks and fuzz targets.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include "qvotk/qvotk.h"

// The line the tests open: 9600 baud, 8 data bits, one stop bit, no parity.
constexpr LineParams kTestLine = {9600, 8, 0, 0};

// One request through the driver's export, as line `lineNumber`.
inline QvoStatus CallDriver(QvoChannel* channel, uint32_t opcode, void* params = nullptr,
                            int32_t lineNumber = 1) {
  QvoRequest request{channel, opcode, lineNumber, 0, params};
  return QvoMain(&request);
}

inline QvoStatus SendTransfer(QvoChannel* channel, uint32_t opcode, uint32_t kind, uint32_t number,
                              int32_t count, uint16_t* values) {
  QvoTransfer transfer{};
  transfer.pointKind = kind;
  transfer.pointNumber = number;
  transfer.valueCount = count;
  transfer.values = values;
  return CallDriver(channel, opcode, &transfer, 0);
}

// How many requests a soak makes: QVO_SOAK_REQUESTS where it is set (the
// soak lane sets it for the full length), else `brief`, the test lane's.
inline long SoakRequests(long brief) {
  const char* requested = std::getenv("QVO_SOAK_REQUESTS");
  return requested != nullptr ? std::atol(requested) : brief;
}

// The five value requests a soak or a line history draws from.
enum class RequestKind { ReadS, ReadPoint, WriteS, WritePoint, Block };

inline bool IsWrite(RequestKind kind) {
  return kind == RequestKind::WriteS || kind == RequestKind::WritePoint;
}

// One request of `kind`: numbered point `number`; a write puts `value` at
// values[1]; a block reads `blockValues` values.
inline QvoStatus SendRequestOf(QvoChannel* channel, RequestKind kind, uint32_t number, uint16_t value,
                               int32_t blockValues, uint16_t* values) {
  const uint32_t pointKind =
      kind == RequestKind::ReadS || kind == RequestKind::WriteS ? QVO_POINT_S : QVO_POINT_NUMBERED;
  if (kind == RequestKind::Block)
    return SendTransfer(channel, QVO_OP_READ_BLOCK, QVO_POINT_NUMBERED, 1, blockValues, values);
  if (IsWrite(kind)) values[1] = value;
  return SendTransfer(channel, IsWrite(kind) ? QVO_OP_WRITE_VALUE : QVO_OP_READ_VALUE, pointKind, number, 0,
                      values);
}

// A port name as the host's 12 bytes hold it: without its terminator when
// it fills them.
template <size_t N>
void PutPortName(char (&field)[N], const std::string& port) {
  std::memcpy(field, port.data(), port.size() < N ? port.size() : N);
}

// Opens `channel` on `port` as line `lineNumber` (which names its station
// file); `enable` 0 opens nothing.
inline QvoStatus OpenChannelOn(QvoChannel* channel, const std::string& port, int32_t lineNumber,
                               uint32_t timeoutUnits, LineParams line = kTestLine, uint32_t enable = 1) {
  QvoOpenParams open{};
  PutPortName(open.portName, port);
  open.enable = enable;
  open.timeout = timeoutUnits;
  open.lineParams = line;
  return CallDriver(channel, QVO_OP_OPEN_CHANNEL, &open, lineNumber);
}

// Moves `channel` to `port` with `line` (baud 0 keeps the line it had).
inline QvoStatus ReconfigureChannelTo(QvoChannel* channel, const std::string& port,
                                      LineParams line = LineParams{0, 0, 0, 0}) {
  QvoReconfigureParams block{};
  PutPortName(block.portName, port);
  block.lineParams = line;
  return CallDriver(channel, QVO_OP_RECONFIGURE_CHANNEL, &block);
}

// Where a request left the host's array other than the driver may: a read
// fills index 1 (a block, indexes 0 to `blockValues` - 1) and only when it
// succeeds; a write's index 1 is the host's own value; every other of the
// `size` values still holds `canary`. The first index that does not, or -1.
inline int ValueWrittenOutside(RequestKind kind, QvoStatus status, const uint16_t* values, size_t size,
                               size_t blockValues, uint16_t canary) {
  for (size_t i = 0; i < size; ++i) {
    const bool filled =
        status == QVO_STATUS_OK && !IsWrite(kind) && (kind == RequestKind::Block ? i < blockValues : i == 1);
    if (!filled && !(IsWrite(kind) && i == 1) && values[i] != canary) return static_cast<int>(i);
  }
  return -1;
}
