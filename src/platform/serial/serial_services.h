// The operating system's serial services, as the port algorithms above them
// need them. Each platform implements this boundary once: Win32, POSIX
// termios, and the simulated line of the tests. Which one a binary gets is
// decided by what it links.
#pragma once

#include <cstdint>

// Handle of an open serial device; 32 bits on every platform, as the
// channel record keeps it. 0 is no port: no platform hands it out.
using PortHandle = uint32_t;
constexpr PortHandle kNoPort = 0;
// What an open that failed gives back.
constexpr PortHandle kInvalidPort = 0xFFFFFFFFu;

// Time-outs of a port in milliseconds, with the Windows meaning: with the
// interval and the multiplier at 0 and the constant at T > 0, one read
// request for k bytes returns when all k have arrived or T ms after it
// began, with what arrived by then; with T = 0 as well it waits for all k.
// The write time-outs are kept but writes here never time out.
struct CommTimeouts {
  uint32_t readInterval;
  uint32_t readTotalMultiplier;
  uint32_t readTotalConstant;
  uint32_t writeTotalMultiplier;
  uint32_t writeTotalConstant;
};

enum class LineControl : uint8_t { Disable, Enable, Handshake, Toggle };

// The settings CommOpen gives a port, in the system's codes.
struct LineSettings {
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits;  // 0 one, 1 one and a half, 2 two
  uint8_t errorChar;
  LineControl dtr;
  LineControl rts;
};

// The device's own record of its line state, as read from it (a DCB on
// Windows, a termios on POSIX). Opaque to the algorithms: they read it,
// have the platform apply the settings to it, and write it back, so that
// whatever the system keeps beyond the settings stays as it was.
struct DeviceLineState {
  alignas(8) unsigned char bytes[128];
};

// Opens a device exclusively for reading and writing; kInvalidPort when it
// cannot be opened.
PortHandle SysOpenDevice(const char* name);
bool SysCloseDevice(PortHandle port);

bool SysReadLineState(PortHandle port, DeviceLineState* state);
void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings);
bool SysWriteLineState(PortHandle port, const DeviceLineState& state);

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts);
bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts);
void SysSetQueueSizes(PortHandle port, uint32_t inputBytes, uint32_t outputBytes);

// Resets the port's error state and counts the received bytes waiting.
bool SysCountWaitingInput(PortHandle port, uint32_t* waiting);

// One read request, with the port's read time-out; `received` is the count
// moved.
bool SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received);
// One write request; `written` is the count moved.
bool SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written);

// Modem lines and the pause of the CTS wait.
bool SysSetRts(PortHandle port, bool on);
bool SysReadCts(PortHandle port, bool* ctsOn);
void SysSleepMilliseconds(uint32_t milliseconds);
