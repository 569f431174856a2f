// The life of a channel: open (with the station file), flush, close,
// reopen and reconfigure. The handlers are declared in handlers.h.
#pragma once

#include <cstdint>

#include "qvotk/qvotk.h"
#include "serial/serial_port.h"

// The driver opens every port with RTS control enabled and DTR disabled.
constexpr uint16_t kChannelOpenFlags = 0x0202;

// The host's line settings as the port takes them: the rate as a 16-bit
// number, the low byte of each code.
PortSettings SettingsOf(const LineParams& line);

// The channel's port name, terminated even where the host's is not.
struct ShownPortName {
  char text[QVO_PORT_NAME_SIZE + 1];
};
ShownPortName ShownNameOf(const char (&portName)[QVO_PORT_NAME_SIZE]);
