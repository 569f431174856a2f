// Why a port does not open, or stopped working: the system's own reason,
// found by the tool after the driver answered 2. The driver only says that
// the port failed; a person commissioning a line needs to know which way.
#pragma once

#include <qvotk/qvotk.h>

#include <string>

// The device a port name stands for on this system, by the rules the
// driver documents: NUL, COMn, a path, or a name under /dev.
std::string DevicePathOf(const std::string& portName);

// Why the port would not open with `line`: no such device, a directory,
// not a terminal, permission, held by another program, or the line
// settings the device refused (and which).
std::string WhyPortDoesNotOpen(const std::string& portName, const LineParams& line);

// Why a port that was open now fails, or "" when it looks as it did: gone
// (unplugged), or a terminal whose other side has closed.
std::string WhyPortFails(const std::string& portName);

// The rates every serial device takes, for a message.
std::string RatesThatWork();
