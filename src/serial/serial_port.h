// Serial port access: open and configure a port for the controller line,
// close it, set its read time-out, discard waiting input, write, and read an
// exact number of bytes. Blocking operations; the caller owns the handle.
#pragma once

#include <cstdint>

#include "platform/serial/serial_services.h"

// The result of a port operation. A type of its own, so that it reaches the
// host only through the caller's mapping to a QvoStatus.
enum class CommStatus : int32_t {
  Ok = 0,
  CannotOpen = 1,  // no such device, held elsewhere, or time-outs refused
  ShortWrite = 2,
  NotSerial = 4,  // the device's line settings cannot be read
  SettingsRefused = 5,
  IoFailed = 7,  // read, write or close failed, or a read brought nothing
};

// Open flags. Only these bits have an effect; the driver opens with
// COMM_RTS_ON: DTR disabled, RTS asserted from the open on.
constexpr uint16_t COMM_DTR_ON = 0x0101;  // either bit
constexpr uint16_t COMM_DTR_HANDSHAKE = 0x8000;
constexpr uint16_t COMM_RTS_ON = 0x0202;  // either bit
constexpr uint16_t COMM_RTS_HANDSHAKE = 0x1000;
constexpr uint16_t COMM_RTS_TOGGLE = 0x2000;

// Fixed settings of every configured port.
constexpr uint32_t kDefaultReadTimeoutMs = 1000;
constexpr uint32_t kQueueSize = 1200;
constexpr uint8_t kErrorChar = 0xFC;

// A port's line, in the system's codes.
struct PortSettings {
  uint16_t baudRate;
  uint8_t dataBits;
  uint8_t stopBits;  // 0 one, 1 one and a half, 2 two
  uint8_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

// Opens and configures a port. On a failure no port is left open, and
// `why` (may be null) holds the system's reason where it gave one.
CommStatus CommOpen(const char* portName, const PortSettings& line, uint16_t openFlags, PortHandle* outPort,
                    SysResult* why = nullptr);
CommStatus CommClose(PortHandle port);

// A port whose device has gone (an adapter pulled; PortRecord in
// serial_services.h) is sought again before a request: opened by its name
// into the same handle, with the line settings and flags CommOpen gives,
// and the time-outs it had. At most once a second, so that a dead port
// costs a request nothing but its answer.
enum class PortPresence : uint8_t {
  Present,   // there all along
  Regained,  // found again now
  Absent,    // still gone, or sought less than a second ago
};
constexpr int64_t kSeekIntervalMicroseconds = 1000000;
PortPresence CommSeekPort(PortHandle port, const char* portName, const PortSettings& line,
                          uint16_t openFlags);
bool CommPortLost(PortHandle port);
// True once for each loss: the loss has not been told yet.
bool CommTakeLossToTell(PortHandle port);

// Sets the total read time-out to `units` x 10 ms; `previousUnits` (may be
// null) gets the one it replaces, in units of 10 ms rounded down. IoFailed
// when the time-outs cannot be read or written: then they stay as they were.
CommStatus CommSetReadTimeout(PortHandle port, uint32_t units, uint32_t* previousUnits = nullptr);

// The port's total read time-out in milliseconds (0: a read waits for all
// its bytes); IoFailed when the time-outs cannot be read.
CommStatus CommGetReadTimeout(PortHandle port, uint32_t* milliseconds);

// Discards waiting input: Ok when the input was empty or has been drained,
// IoFailed when a read failed while draining.
CommStatus CommFlushInput(PortHandle port);

// One write of `count` bytes: 0 when all were written, 2 when fewer, 7 on
// failure (then `outWritten` is not touched). `outWritten` may be null. It
// returns once the bytes have left the transmitter; `outWaitingWhenSent`
// (may be null) is how many received bytes were waiting by then, where the
// port can tell.
CommStatus CommWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* outWritten,
                     uint32_t* outWaitingWhenSent = nullptr);

// Reads exactly `count` bytes (1 to 65535), one read request after another,
// each waiting at most one read time-out from its own start, and ending by
// `deadline` (SysNowMicroseconds) as well: a request near it waits only the
// time left, and none starts after it. A deadline of 0 is none. 0 when all
// arrived, 7 when a read failed, one brought nothing, or the deadline
// passed. `outRead` (may be null) holds the bytes received so far.
CommStatus CommReadBefore(PortHandle port, void* buffer, uint32_t count, uint32_t* outRead, int64_t deadline);
