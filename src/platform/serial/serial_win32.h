// The Windows foundation's one addition to the serial services: the
// system's handle behind a port, for tests that ask the system directly.
#pragma once

#include <windows.h>

#include "platform/serial/serial_services.h"

// INVALID_HANDLE_VALUE for a handle of no open port.
HANDLE Win32HandleOf(PortHandle port);
