#include "serial/serial_port.h"

#include <cstring>

#include "platform/serial/serial_services.h"
#include "serial/line_capture.h"

namespace {

constexpr uint32_t kMillisecondsPerUnit = 10;
constexpr uint32_t kFlushTimeoutUnits = 5;  // 50 ms: a drain ends soon after the last stray byte
constexpr uint32_t kFlushChunk = 512;
// A peer that floods the line faster than 512 bytes in 50 ms (about 10 KiB/s)
// would keep the drain going for as long as it lasts: it stops after this
// many full reads, 8 KiB, and what remains is skipped as noise ahead of the
// reply.
constexpr uint32_t kMaxFlushReads = 16;

LineControl DtrControlFor(uint16_t openFlags) {
  if (openFlags & COMM_DTR_ON) return LineControl::Enable;
  if (openFlags & COMM_DTR_HANDSHAKE) return LineControl::Handshake;
  return LineControl::Disable;
}

LineControl RtsControlFor(uint16_t openFlags) {
  if (openFlags & COMM_RTS_ON) return LineControl::Enable;
  if (openFlags & COMM_RTS_HANDSHAKE) return LineControl::Handshake;
  if (openFlags & COMM_RTS_TOGGLE) return LineControl::Toggle;
  return LineControl::Disable;
}

// units x 10 ms, saturated rather than wrapped to a short time-out.
uint32_t UnitsToMilliseconds(uint32_t units) {
  constexpr uint32_t kLargest = 0xFFFFFFFFu / kMillisecondsPerUnit;
  return units > kLargest ? 0xFFFFFFFFu : units * kMillisecondsPerUnit;
}

// Configures an open port for the controller line. Time-outs go before the
// line settings: a device that accepts neither reports 1. They are written
// whole, not read first. `why` gets the system's reason for a failure.
CommStatus ConfigurePort(PortHandle port, const PortSettings& line, uint16_t openFlags, SysResult* why) {
  DeviceLineState state;
  *why = SysReadLineState(port, &state);
  if (!why->ok()) return CommStatus::NotSerial;

  const CommTimeouts timeouts = {0, 0, kDefaultReadTimeoutMs, 0, 0};
  if (!SysWriteTimeouts(port, timeouts)) {
    *why = {SysFault::SettingsRefused, 0};
    return CommStatus::CannotOpen;
  }

  LineSettings settings;
  settings.baudRate = line.baudRate;
  settings.byteSize = line.dataBits;
  settings.parity = line.parity;
  settings.stopBits = line.stopBits;
  settings.errorChar = kErrorChar;
  // Damaged bytes come as the error character, so that a damaged reply is
  // never taken for a good one.
  settings.markDamaged = true;
  settings.dtr = DtrControlFor(openFlags);
  settings.rts = RtsControlFor(openFlags);
  SysApplyLineSettings(&state, settings);
  *why = SysWriteLineState(port, state);
  if (!why->ok()) return CommStatus::SettingsRefused;

  SysSetQueueSizes(port, kQueueSize, kQueueSize);  // advisory: the system may keep its own sizes
  return CommStatus::Ok;
}

}  // namespace

CommStatus CommOpen(const char* portName, const PortSettings& line, uint16_t openFlags, PortHandle* outPort,
                    SysResult* why) {
  SysResult reason = SysOpenDevice(portName, outPort);
  const PortHandle port = *outPort;
  CommStatus status = reason.ok() ? CommStatus::Ok : CommStatus::CannotOpen;
  // The null device is a valid port for the host but has no line to set up.
  if (status == CommStatus::Ok && !IsNullDeviceName(portName)) {
    status = ConfigurePort(port, line, openFlags, &reason);
    if (status != CommStatus::Ok) SysCloseDevice(port);  // failing anyway; the close result adds nothing
  }
  if (why != nullptr) *why = reason;
  if (status == CommStatus::Ok) CaptureStart(port, portName, line.parity);
  return status;
}

PortPresence CommSeekPort(PortHandle port, const char* portName, const PortSettings& line,
                          uint16_t openFlags) {
  PortRecord* record = SysPortRecord(port);
  if (record == nullptr || !record->lost) return PortPresence::Present;
  const int64_t now = SysNowMicroseconds();
  if (record->sought && now - record->lastSought < kSeekIntervalMicroseconds) return PortPresence::Absent;
  record->sought = true;
  record->lastSought = now;
  CommTimeouts kept;
  if (!SysReadTimeouts(port, &kept) || !SysReopenDevice(port, portName).ok()) return PortPresence::Absent;
  SysResult why = kSysDone;
  if (!IsNullDeviceName(portName) && ConfigurePort(port, line, openFlags, &why) != CommStatus::Ok) {
    // Back, but not as it was: let it go again, and seek it on.
    SysLetDeviceGo(port);
    return PortPresence::Absent;
  }
  SysWriteTimeouts(port, kept);  // the read time-out the port had before its device went
  record->lossReported = record->sought = false;
  CaptureBytes(CaptureOf(port), CaptureEvent::StatusChange, "found", 5, now);
  return PortPresence::Regained;
}

bool CommPortLost(PortHandle port) {
  const PortRecord* record = SysPortRecord(port);
  return record != nullptr && record->lost;
}

bool CommTakeLossToTell(PortHandle port) {
  PortRecord* record = SysPortRecord(port);
  if (record == nullptr || !record->lost || record->lossReported) return false;
  record->lossReported = true;
  CaptureBytes(CaptureOf(port), CaptureEvent::StatusChange, "lost", 4, SysNowMicroseconds());
  return true;
}

CommStatus CommClose(PortHandle port) {
  CaptureStop(port);
  return SysCloseDevice(port) ? CommStatus::Ok : CommStatus::IoFailed;
}

CommStatus CommSetReadTimeout(PortHandle port, uint32_t units, uint32_t* previousUnits) {
  CommTimeouts timeouts;
  if (!SysReadTimeouts(port, &timeouts)) return CommStatus::IoFailed;
  const uint32_t previous = timeouts.readTotalConstant;
  const uint32_t wanted = UnitsToMilliseconds(units);
  if (previous != wanted) {
    timeouts.readTotalConstant = wanted;
    if (!SysWriteTimeouts(port, timeouts)) return CommStatus::IoFailed;
  }
  if (previousUnits != nullptr) *previousUnits = previous / kMillisecondsPerUnit;
  return CommStatus::Ok;
}

CommStatus CommGetReadTimeout(PortHandle port, uint32_t* milliseconds) {
  CommTimeouts timeouts;
  if (!SysReadTimeouts(port, &timeouts)) return CommStatus::IoFailed;
  *milliseconds = timeouts.readTotalConstant;
  return CommStatus::Ok;
}

CommStatus CommFlushInput(PortHandle port) {
  uint32_t waiting = 0;
  if (SysCountWaitingInput(port, &waiting) && waiting == 0) return CommStatus::Ok;

  // Bytes are waiting, or the count is unknown: drain with a short time-out
  // until a read comes back less than full.
  uint32_t previousUnits = 0;
  const bool shortened = CommSetReadTimeout(port, kFlushTimeoutUnits, &previousUnits) == CommStatus::Ok;
  unsigned char scratch[kFlushChunk];
  bool readFailed = false;
  for (uint32_t reads = 0; reads < kMaxFlushReads; ++reads) {
    uint32_t received = 0;
    const bool read = SysRead(port, scratch, kFlushChunk, &received).ok();
    CaptureReceived(CaptureOf(port), port, scratch, received);  // late replies, seen going
    if (!read) {
      readFailed = true;
      break;
    }
    if (received != kFlushChunk) break;
  }
  // A previous time-out below 10 ms (0 units: "wait for ever" among them)
  // is not given back; the port keeps 50 ms then.
  if (shortened && previousUnits != 0) CommSetReadTimeout(port, previousUnits);
  return readFailed ? CommStatus::IoFailed : CommStatus::Ok;
}

CommStatus CommWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* outWritten,
                     uint32_t* outWaitingWhenSent) {
  uint32_t written = 0;
  uint32_t waiting = 0;
  if (!SysWrite(port, bytes, count, &written, &waiting).ok()) return CommStatus::IoFailed;
  if (outWritten != nullptr) *outWritten = written;
  if (outWaitingWhenSent != nullptr) *outWaitingWhenSent = waiting;
  return written == count ? CommStatus::Ok : CommStatus::ShortWrite;
}

CommStatus CommReadBefore(PortHandle port, void* buffer, uint32_t count, uint32_t* outRead,
                          int64_t deadline) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (outRead != nullptr) *outRead = 0;
  uint32_t total = 0;
  do {
    uint32_t limitMs = kPortReadTimeout;
    if (deadline != 0) {
      const int64_t left = deadline - SysNowMicroseconds();
      if (left <= 0) return CommStatus::IoFailed;
      limitMs = static_cast<uint32_t>((left + 999) / 1000);
    }
    // One request for what is still missing; each waits at most one read
    // time-out from its own start.
    const uint16_t missing = static_cast<uint16_t>(count - total);
    uint32_t received = 0;
    if (!SysRead(port, bytes + total, missing, &received, limitMs).ok()) return CommStatus::IoFailed;
    if (received == 0) return CommStatus::IoFailed;
    total += received;
    if (outRead != nullptr) *outRead = total;
  } while (total < count);
  return CommStatus::Ok;
}
