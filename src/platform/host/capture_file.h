// The file a capture of the line goes to, when the host's environment asks
// for one, and the wall clock its records are stamped with. Each platform
// implements these with its own file services.
#pragma once

#include <cstdint>

// The environment variable that names the capture file.
constexpr const char kCaptureVariable[] = "QVOTK_CAPTURE";

// An open capture file; kNoCaptureFile for none.
using CaptureFile = intptr_t;
constexpr CaptureFile kNoCaptureFile = -1;

// The value of kCaptureVariable, copied into `name` with its terminator;
// false when it is unset, empty, or longer than `capacity` allows.
bool SysCaptureFileName(char* name, uint32_t capacity);

// Opens `name` for appending, creating it when it does not exist; only a
// file on disk. kNoCaptureFile when it cannot be opened.
CaptureFile SysOpenCaptureFile(const char* name);
// Reads the file's first `capacity` bytes; `length` is how many it holds
// (0 for a new file). False when it cannot be read.
bool SysReadCaptureStart(CaptureFile file, uint8_t* bytes, uint32_t capacity, uint32_t* length);
// Appends `count` bytes in one write, so that records of two channels
// sharing the file do not interleave; false unless all were written.
bool SysAppendCapture(CaptureFile file, const void* bytes, uint32_t count);
void SysCloseCaptureFile(CaptureFile file);

// Microseconds since 1970-01-01 UTC.
int64_t SysWallClockMicroseconds();
