// Requests as a host builds them, for tests, benchmarks and fuzz targets.
#pragma once

#include <cstring>
#include <string>

#include "qvotk/qvotk.h"

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

// Opens `channel` on `port` as line `lineNumber` (which names its station file).
inline QvoStatus OpenChannelOn(QvoChannel* channel, const std::string& port, int32_t lineNumber,
                               uint32_t timeoutUnits, LineParams line = {9600, 8, 0, 0}) {
  QvoOpenParams open{};
  std::memcpy(open.portName, port.data(),
              port.size() < sizeof open.portName ? port.size() : sizeof open.portName);
  open.enable = 1;
  open.timeout = timeoutUnits;
  open.lineParams = line;
  QvoRequest request{channel, QVO_OP_OPEN_CHANNEL, lineNumber, 0, &open};
  return QvoMain(&request);
}
