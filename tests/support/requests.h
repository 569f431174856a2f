// Requests as a host builds them, for tests, benchmarks and fuzz targets.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include "qvotk/qvotk.h"

// The line the tests open: 9600 baud, 8 data bits, one stop bit, no parity.
constexpr LineParams kTestLine = {9600, 8, 0, 0};

inline QvoStatus SendTransfer(QvoChannel* channel, uint32_t opcode, uint32_t kind, uint32_t number,
                              int32_t count, uint16_t* values) {
  QvoTransfer transfer{};
  transfer.pointKind = kind;
  transfer.pointNumber = number;
  transfer.valueCount = count;
  transfer.values = values;
  QvoRequest request{channel, opcode, 0, 0, &transfer};
  return QvoMain(&request);
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

// Opens `channel` on `port` as line `lineNumber` (which names its station file).
inline QvoStatus OpenChannelOn(QvoChannel* channel, const std::string& port, int32_t lineNumber,
                               uint32_t timeoutUnits, LineParams line = kTestLine) {
  QvoOpenParams open{};
  std::memcpy(open.portName, port.data(),
              port.size() < sizeof open.portName ? port.size() : sizeof open.portName);
  open.enable = 1;
  open.timeout = timeoutUnits;
  open.lineParams = line;
  QvoRequest request{channel, QVO_OP_OPEN_CHANNEL, lineNumber, 0, &open};
  return QvoMain(&request);
}
