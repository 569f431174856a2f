#include "serial/serial_port.h"

#include <cstring>

#include "platform/host/host_report.h"
#include "platform/serial/serial_services.h"
#include "serial/line_capture.h"

namespace {

// What the serial port keeps of a port it opened, under the slot number
// that the port's handle names.
struct SerialPort {
  // As opened: sought again by its name, with its line and flags, and
  // named so to the host.
  char name[kPortNameCapacity];
  PortSettings line;
  uint16_t openFlags;
  bool lossTold;       // the host knows the device has gone
  bool sought;         // sought again since it went, last at `lastSought`
  int64_t lastSought;  // SysNowMicroseconds
  // Kept across a loss: the port's capture goes on in the same file.
  PortCapture capture;
};
SerialPort g_ports[kPortSlots];

// The record of a held port; null for any other handle.
SerialPort* RecordOf(PortHandle port) {
  uint32_t slot = 0;
  return SysPortSlot(port, &slot) ? &g_ports[slot] : nullptr;
}

// The port's capture; null when it has none, which costs nothing more.
PortCapture* CaptureOf(PortHandle port) {
  SerialPort* record = RecordOf(port);
  return record != nullptr && record->capture.on ? &record->capture : nullptr;
}

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

// Tells the host, once, that the port's device has gone.
void TellLoss(PortHandle port, SerialPort* record) {
  if (record->lossTold || !SysDeviceGone(port)) return;
  record->lossTold = true;
  CapturePortLost(&record->capture, SysNowMicroseconds());
  ReportToHost(HostReport::PortLost, kDriverName, record->name);
}

// Seeks a port whose device has gone: false while it is still gone.
bool Seek(PortHandle port, SerialPort* record) {
  if (!SysDeviceGone(port)) return true;
  const int64_t now = SysNowMicroseconds();
  if (record->sought && now - record->lastSought < kSeekIntervalMicroseconds) return false;
  record->sought = true;
  record->lastSought = now;
  CommTimeouts kept;
  if (!SysReadTimeouts(port, &kept) || !SysReopenDevice(port, record->name).ok()) return false;
  SysResult why = kSysDone;
  if (!IsNullDeviceName(record->name) &&
      ConfigurePort(port, record->line, record->openFlags, &why) != CommStatus::Ok) {
    // Back, but not as it was: let it go again, and seek it on.
    SysLetDeviceGo(port);
    return false;
  }
  SysWriteTimeouts(port, kept);  // the read time-out the port had before its device went
  record->lossTold = record->sought = false;
  CapturePortFound(&record->capture, now);
  ReportToHost(HostReport::PortFound, kDriverName, record->name);
  return true;
}

}  // namespace

CommStatus CommOpen(const char* portName, const PortSettings& line, uint16_t openFlags, PortHandle* outPort,
                    SysResult* why) {
  *outPort = kInvalidPort;
  SysResult reason = {SysFault::NotFound, 0};
  CommStatus status = CommStatus::CannotOpen;
  if (std::strlen(portName) < kPortNameCapacity) {
    reason = SysOpenDevice(portName, outPort);
    if (reason.ok()) status = CommStatus::Ok;
  }
  const PortHandle port = *outPort;
  // The null device is a valid port for the host but has no line to set up.
  if (status == CommStatus::Ok && !IsNullDeviceName(portName)) {
    status = ConfigurePort(port, line, openFlags, &reason);
    if (status != CommStatus::Ok) SysCloseDevice(port);  // failing anyway; the close result adds nothing
  }
  if (why != nullptr) *why = reason;
  if (status != CommStatus::Ok) return status;
  SerialPort* record = RecordOf(port);
  *record = SerialPort{};
  std::memcpy(record->name, portName, std::strlen(portName) + 1);
  record->line = line;
  record->openFlags = openFlags;
  CaptureStart(&record->capture, port, portName, line.parity, kErrorChar);
  return CommStatus::Ok;
}

bool CommBeginRequest(PortHandle port) {
  SerialPort* record = RecordOf(port);
  if (record == nullptr) return true;  // a request without a port fails as it always has
  TellLoss(port, record);
  return Seek(port, record);
}

void CommEndRequest(PortHandle port) {
  SerialPort* record = RecordOf(port);
  if (record == nullptr) return;
  TellLoss(port, record);
  CaptureFlush(&record->capture);
  TellCaptureTrouble(&record->capture);
}

void CommTellCaptureTrouble(PortHandle port) {
  SerialPort* record = RecordOf(port);
  if (record != nullptr) TellCaptureTrouble(&record->capture);
}

bool CommPortLost(PortHandle port) { return SysDeviceGone(port); }

CommStatus CommClose(PortHandle port) {
  CaptureStop(CaptureOf(port));
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
  PortCapture* capture = CaptureOf(port);
  unsigned char scratch[kFlushChunk];
  bool readFailed = false;
  for (uint32_t reads = 0; reads < kMaxFlushReads; ++reads) {
    uint32_t received = 0;
    const bool read = SysRead(port, scratch, kFlushChunk, &received).ok();
    CaptureReceived(capture, port, scratch, received);  // late replies, seen going
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

bool CommSetRts(PortHandle port, bool on) {
  const bool set = SysSetRts(port, on);
  if (!set && !SysDeviceGone(port)) ReportToHost(on ? HostReport::RtsOnFailed : HostReport::RtsOffFailed);
  CaptureLine(CaptureOf(port), kCaptureRts, on);
  return set;
}

bool CommWaitForCts(PortHandle port, uint32_t polls) {
  bool seen = false;
  for (uint32_t poll = 0; poll < polls && !seen && !SysDeviceGone(port); ++poll) {
    bool cts = false;
    seen = SysReadCts(port, &cts) && cts;
    if (!seen) SysSleepMilliseconds(1);
  }
  CaptureLine(CaptureOf(port), kCaptureCts, seen);
  return seen;
}

CommStatus CommWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* outWritten,
                     uint32_t* outWaitingWhenSent) {
  PortCapture* capture = CaptureOf(port);
  const int64_t started = capture != nullptr ? SysNowMicroseconds() : 0;
  uint32_t written = 0;
  uint32_t waiting = 0;
  const bool wrote = SysWrite(port, bytes, count, &written, &waiting).ok();
  // The frame as it went, stamped with the moment it began to go.
  CaptureBytes(capture, CaptureEvent::DataSent, bytes, wrote ? written : 0, started);
  if (!wrote) return CommStatus::IoFailed;
  if (outWritten != nullptr) *outWritten = written;
  if (outWaitingWhenSent != nullptr) *outWaitingWhenSent = waiting;
  return written == count ? CommStatus::Ok : CommStatus::ShortWrite;
}

bool CommReadOnce(PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
  const bool read = SysRead(port, buffer, count, received).ok();
  CaptureReceived(CaptureOf(port), port, buffer, *received);
  return read;
}

namespace {

// CommReadBefore's reading; `total` is what came.
CommStatus ReadUntil(PortHandle port, unsigned char* bytes, uint32_t count, uint32_t* total,
                     int64_t deadline) {
  do {
    uint32_t limitMs = kPortReadTimeout;
    if (deadline != 0) {
      const int64_t left = deadline - SysNowMicroseconds();
      if (left <= 0) return CommStatus::IoFailed;
      limitMs = static_cast<uint32_t>((left + 999) / 1000);
    }
    // One request for what is still missing; each waits at most one read
    // time-out from its own start.
    const uint16_t missing = static_cast<uint16_t>(count - *total);
    uint32_t received = 0;
    if (!SysRead(port, bytes + *total, missing, &received, limitMs).ok()) return CommStatus::IoFailed;
    if (received == 0) return CommStatus::IoFailed;
    *total += received;
  } while (*total < count);
  return CommStatus::Ok;
}

}  // namespace

CommStatus CommReadBefore(PortHandle port, void* buffer, uint32_t count, uint32_t* outRead,
                          int64_t deadline) {
  uint32_t total = 0;
  const CommStatus status = ReadUntil(port, static_cast<unsigned char*>(buffer), count, &total, deadline);
  CaptureReceived(CaptureOf(port), port, buffer, total);  // one record for the whole reading
  if (outRead != nullptr) *outRead = total;
  return status;
}

uint32_t CommInputOverruns(PortHandle port) { return SysInputOverruns(port); }

int64_t CommNowMicroseconds() { return SysNowMicroseconds(); }

int64_t CommWireMicroseconds(PortHandle port, uint32_t characters) {
  return int64_t{characters} * SysCharacterNanoseconds(port) / 1000;
}
