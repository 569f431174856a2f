// Serial port access: open and configure a port for the controller line,
// close it, set its read time-out, discard waiting input, switch RTS, wait
// for CTS, write, and read. Blocking operations; the caller owns the handle.
//
// The one layer that calls the platform's serial services. Beside the
// system's state, which the foundation keeps in the port's slot, the serial
// port keeps its own record of each port it opened, under the same slot
// number: the name and line it was opened with, to seek it again after its
// device went; whether its loss was told; and its capture. So every read,
// write and line switch is captured, and every loss noted and told, here,
// whoever asked for it.
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

// The longest port name the serial port keeps, with its terminator.
constexpr uint32_t kPortNameCapacity = 64;

// A port's line, in the system's codes.
struct PortSettings {
  uint16_t baudRate;
  uint8_t dataBits;
  uint8_t stopBits;  // 0 one, 1 one and a half, 2 two
  uint8_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

// Opens and configures a port, and starts its capture when the host's
// environment asks for one. On a failure no port is left open, and `why`
// (may be null) holds the system's reason where it gave one.
CommStatus CommOpen(const char* portName, const PortSettings& line, uint16_t openFlags, PortHandle* outPort,
                    SysResult* why = nullptr);
CommStatus CommClose(PortHandle port);

// Before a request: a port whose device has gone (an adapter pulled) is
// sought again, opened by its name into the same handle, with the line
// settings and flags it was opened with and the time-outs it had; at most
// once a second, so that a dead port costs a request nothing but its
// answer. False while it is still gone. The host is told of a loss not
// told yet, and of the port found again, once each.
constexpr int64_t kSeekIntervalMicroseconds = 1000000;
bool CommBeginRequest(PortHandle port);
// After a request: the host told of a loss the request met, the capture's
// records written, and any trouble with the capture told.
void CommEndRequest(PortHandle port);
// Tells the host of any trouble with the port's capture, once: after an
// open, which does not tell it.
void CommTellCaptureTrouble(PortHandle port);
// The port's device has gone; it is sought again before the next request.
bool CommPortLost(PortHandle port);

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

// Switches RTS. A failure is reported to the host, unless the port's device
// has gone: a port that has gone has no line to switch, and its loss is
// told instead.
bool CommSetRts(PortHandle port, bool on);
// Polls CTS at most `polls` times, with a 1 ms pause after each poll that
// did not see it; a status query that fails counts as CTS absent, and a
// port whose device has gone is not polled. True when CTS was seen.
bool CommWaitForCts(PortHandle port, uint32_t polls);

// One write of `count` bytes: 0 when all were written, 2 when fewer, 7 on
// failure (then `outWritten` is not touched). `outWritten` may be null. It
// returns once the bytes have left the transmitter; `outWaitingWhenSent`
// (may be null) is how many received bytes were waiting by then, where the
// port can tell.
CommStatus CommWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* outWritten,
                     uint32_t* outWaitingWhenSent = nullptr);

// One read request of up to `count` bytes on the port's own read time-out:
// it returns when all have come or the time-out has passed. False when the
// read failed; `received` is what came either way.
bool CommReadOnce(PortHandle port, void* buffer, uint32_t count, uint32_t* received);

// Reads exactly `count` bytes (1 to 65535), one read request after another,
// each waiting at most one read time-out from its own start, and ending by
// `deadline` (CommNowMicroseconds) as well: a request near it waits only the
// time left, and none starts after it. A deadline of 0 is none. 0 when all
// arrived, 7 when a read failed, one brought nothing, or the deadline
// passed. `outRead` (may be null) holds the bytes received so far.
CommStatus CommReadBefore(PortHandle port, void* buffer, uint32_t count, uint32_t* outRead, int64_t deadline);

// How many times the port's input overflowed since it was opened (bytes
// were lost); 0 where the device cannot tell.
uint32_t CommInputOverruns(PortHandle port);

// The port's clock, in microseconds, and `characters` on its line as
// configured.
int64_t CommNowMicroseconds();
int64_t CommWireMicroseconds(PortHandle port, uint32_t characters);
