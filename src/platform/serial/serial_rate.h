// Line rates as numbers rather than codes: the Linux termios2 interface
// (BOTHER) takes any rate, where the termios table stops at its codes.
// Apart from the rest of the POSIX foundation because its header and
// <termios.h> cannot share a file.
#pragma once

#include <cstdint>

// Sets both directions of `fd` to `rate`; false when the device refuses it
// or the system has no such interface.
bool SetNumericRate(int fd, uint32_t rate);

// The rate the device runs at, as the system reports it after rounding;
// false when the system cannot tell.
bool ReadActualRate(int fd, uint32_t* rate);
