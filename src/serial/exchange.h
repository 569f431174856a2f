// The half-duplex exchange on the controller line. The driver keys its
// transmitter with RTS: it raises RTS, sends only once CTS answers, and
// clears RTS as soon as the frame is written, so that RTS is clear while
// the reply is awaited. Both operations end with RTS cleared.
#pragma once

#include <cstdint>

#include "platform/serial/serial_services.h"

// CTS is polled at most this many times per send, with a 1 ms pause after
// each poll that did not see it.
constexpr uint32_t kCtsPolls = 19;

void RtsOn(PortHandle port);
void RtsOff(PortHandle port);
bool WaitForCts(PortHandle port);

// True when CTS answered and all `length` bytes were written.
bool SendFrame(PortHandle port, const char* bytes, uint32_t length);

// Reads exactly `length` bytes into `buffer`; true when all arrived. What
// did arrive stays in the buffer either way.
bool ReceiveFrame(PortHandle port, char* buffer, uint32_t length);
