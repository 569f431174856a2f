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

// Before a value request: a port whose device has gone is sought again;
// false while it is still gone (the request then answers 2 at once). Tells
// the host of a loss and of a return, once each.
bool PortReadyForRequest(QvoChannel* channel);
// After a value request: tells the host of a loss the request found.
void TellPortLoss(QvoChannel* channel);
// After a value request: its capture written, and any trouble with it told.
void FinishRequest(QvoChannel* channel);
