// The line the tests open, as the serial layer takes it: 9600 baud, 8 data
// bits, one stop bit, no parity. The host's own is kTestLine
// (support/requests.h).
#pragma once

#include "serial/serial_port.h"

constexpr PortSettings kTestPort = {9600, 8, 0, 0};

// Reads exactly `count` bytes with no deadline but the read time-out of
// each read request: how the tests look at a port's reads alone.
inline CommStatus CommRead(PortHandle port, void* buffer, uint32_t count, uint32_t* outRead) {
  return CommReadBefore(port, buffer, count, outRead, 0);
}
