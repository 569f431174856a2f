// The line the tests open, as the serial layer takes it: 9600 baud, 8 data
// bits, one stop bit, no parity. The host's own is kTestLine
// (support/requests.h).
#pragma once

#include "serial/serial_port.h"

constexpr PortSettings kTestPort = {9600, 8, 0, 0};
