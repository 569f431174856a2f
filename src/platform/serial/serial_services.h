// The operating system's serial services, as the port algorithms above them
// need them. Each platform implements this boundary once: Win32, POSIX
// termios, and the simulated line of the tests. Which one a binary gets is
// decided by what it links.
#pragma once

#include <cstdint>
#include <cstring>

// Handle of an open serial device; 32 bits on every platform, as the
// channel record keeps it. 0 is no port: no platform hands it out.
using PortHandle = uint32_t;
constexpr PortHandle kNoPort = 0;
// What an open that failed gives back.
constexpr PortHandle kInvalidPort = 0xFFFFFFFFu;

// The most ports one process can hold at once. A held port's handle names
// one of this many slots, the same for as long as the port is held: the
// foundation keeps the system's state of the port there, and the layers
// above keep their own under the same number.
constexpr uint32_t kPortSlots = 256;

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
  // A byte that arrives with a parity or framing error, or a break, is
  // delivered as this character when `markDamaged` is set.
  uint8_t errorChar;
  bool markDamaged;
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

// Why a service failed, in the foundations' small codes, with the system's
// own code that goes with it (errno on POSIX, GetLastError on Windows; 0
// where the foundation refused on its own).
enum class SysFault : uint8_t {
  None,
  NotFound,          // no device of that name
  Busy,              // held by another program
  PermissionDenied,  // the user may not open it
  NotSerial,         // its line settings cannot be read: no serial device
  SettingsRefused,   // the device refused the line settings
  Gone,              // the device went away: unplugged, hung up
  Failed,            // any other failure
};
struct SysResult {
  SysFault fault;
  uint32_t systemCode;
  constexpr bool ok() const { return fault == SysFault::None; }
};
constexpr SysResult kSysDone = {SysFault::None, 0};
// How the system's codes are named where they are shown: "errno", "error".
extern const char kSysCodeName[];

// The name of the null device: opened, but never configured. Capitals
// only: "nul" names no special device.
constexpr const char kNullDeviceName[] = "NUL";
inline bool IsNullDeviceName(const char* name) { return std::strcmp(name, kNullDeviceName) == 0; }

// Opens a device exclusively for reading and writing into `port`; on a
// failure `port` is kInvalidPort.
SysResult SysOpenDevice(const char* name, PortHandle* port);
// Gives the port back; a port whose device has gone gives back its slot.
bool SysCloseDevice(PortHandle port);

// The slot a held port's handle names, its device gone or not; false for
// any other handle.
bool SysPortSlot(PortHandle port, uint32_t* slot);

// A held port's device has gone: the system said so (an unplugged adapter,
// a hung-up line). The foundation closed its descriptor at once, so that
// the system can give the name to the device when it comes back; every
// service but these fails at once, without asking the system, until the
// device is opened again. A time-out is no loss.
bool SysDeviceGone(PortHandle port);
// Opens the device `name` again into a port whose device has gone, so that
// the port's handle goes on, with the time-outs it had; what the device can
// do is learned anew, its line settings are left to the caller. A failure
// when it cannot be opened yet.
SysResult SysReopenDevice(PortHandle port, const char* name);
// Lets a held port's device go, as if it had gone: its descriptor closed,
// the slot kept.
void SysLetDeviceGo(PortHandle port);

// NotSerial when the device has no line settings to read.
SysResult SysReadLineState(PortHandle port, DeviceLineState* state);
void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings);
// SettingsRefused when the device does not take them.
SysResult SysWriteLineState(PortHandle port, const DeviceLineState& state);

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts);
bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts);
void SysSetQueueSizes(PortHandle port, uint32_t inputBytes, uint32_t outputBytes);

// Resets the port's error state and counts the received bytes waiting.
bool SysCountWaitingInput(PortHandle port, uint32_t* waiting);

// One read request; `received` is the count moved. It waits at most the
// port's read time-out, or `limitMs` where that is shorter (a request's
// deadline near its end); kPortReadTimeout leaves the port's own.
constexpr uint32_t kPortReadTimeout = 0xFFFFFFFFu;
SysResult SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received,
                  uint32_t limitMs = kPortReadTimeout);

// One write request; `written` is the count moved. It returns once the
// bytes have left the transmitter, last stop bit included, so that RTS can
// be cleared at once; a peer that never takes them holds it at most their
// time on the wire and one read time-out. `waitingWhenSent` is how many
// received bytes were already waiting at that moment, where the foundation
// learns it without a further request (a UART that tells when its
// transmitter is empty); else 0.
SysResult SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
                   uint32_t* waitingWhenSent);

// How many times the input overflowed since the port was opened (bytes were
// lost); 0 where the device cannot tell. Such an error leaves no mark in
// the bytes themselves.
uint32_t SysInputOverruns(PortHandle port);

// One character's time on the line as configured (start, data, parity and
// stop bits), in nanoseconds; 0 for a port with no line settings.
uint32_t SysCharacterNanoseconds(PortHandle port);

// A monotonic clock.
int64_t SysNowMicroseconds();

// Modem lines and the pause of the CTS wait.
bool SysSetRts(PortHandle port, bool on);
bool SysReadCts(PortHandle port, bool* ctsOn);
void SysSleepMilliseconds(uint32_t milliseconds);
