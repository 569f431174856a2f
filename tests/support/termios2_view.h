// The Linux termios2 record, for tests that read a device's rate by number
// or answer that request themselves. Apart, because its header and
// <termios.h> cannot share a file.
#pragma once

#include <cstdint>

// The rate `path` runs at, by number; false where the system cannot tell
// (an emulator without termios2).
bool ReadNumericRate(const char* path, uint32_t* rate);

// True for the request that reads a termios2 record.
bool IsNumericRateRead(unsigned long request);
bool IsNumericRateWrite(unsigned long request);
// The rate a termios2 record reports.
void SetReportedRate(void* record, uint32_t rate);
