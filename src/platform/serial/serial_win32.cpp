// The serial services on Windows: the kernel's serial-communication API on a
// synchronous handle.
//
// The handle the driver gives out names a slot of the fixed pool
// (port_slots.h), which holds the system's handle and what the port needs
// beyond it: its line as set, the time-outs last read or written, and the
// overruns that ClearCommError reported, whichever call saw them.
#include "platform/serial/serial_win32.h"

#include <cstdio>
#include <cstring>

#include "platform/serial/line_timing.h"
#include "platform/serial/port_slots.h"
#include "platform/serial/serial_services.h"

namespace {

static_assert(sizeof(DCB) <= sizeof(DeviceLineState::bytes));

struct Win32Port {
  HANDLE handle;  // INVALID_HANDLE_VALUE once the device has gone
  uint32_t characterNs;
  uint32_t baudRate;  // the line as set, for the frame's time on the wire
  uint8_t dataBits, parity, stopBits;
  CommTimeouts timeouts;  // as last read or written: a port whose device has gone keeps them
  uint32_t overruns;
};

PortSlotClaims g_claims;
Win32Port g_ports[kPortSlots];

// The slot of a held port, its device gone or not.
Win32Port* HeldPortOf(PortHandle port) {
  uint32_t index = 0;
  return FindPortSlot(g_claims, port, &index) ? &g_ports[index] : nullptr;
}

// The slot of a held port whose device is there; null for a port whose
// device has gone, which costs no system call.
Win32Port* PortOf(PortHandle port) {
  Win32Port* held = HeldPortOf(port);
  return held != nullptr && held->handle != INVALID_HANDLE_VALUE ? held : nullptr;
}

// The answers of a device that has gone: a USB adapter unplugged, a port
// whose driver went away.
bool IsGone(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_GEN_FAILURE ||
         error == ERROR_NOT_READY || error == ERROR_OPERATION_ABORTED || error == ERROR_DEVICE_NOT_CONNECTED;
}

// What a handle without a device behind it answers: its device has gone, or
// it is not held.
constexpr SysResult kNoDevice = {SysFault::Gone, 0};

// A failure, with the system's code that came with it.
SysResult Failure(SysFault fault) { return {fault, GetLastError()}; }

// Lets the device go: its handle closed, the slot kept.
void LetGo(Win32Port* port) {
  CloseHandle(port->handle);  // the device is gone: nothing to give back
  port->handle = INVALID_HANDLE_VALUE;
}

// A failed request, judged: a device that has gone is let go of at once,
// since some drivers hold the COM name while a handle of it is open.
SysResult NoteFailure(Win32Port* port) {
  const SysResult failure = Failure(IsGone(GetLastError()) ? SysFault::Gone : SysFault::Failed);
  if (failure.fault == SysFault::Gone) LetGo(port);
  return failure;
}

// Why CreateFileA did not open a port. A COM port that another program
// holds answers "access denied": opened with share mode 0, nobody may
// share it.
SysResult OpenFailure() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return Failure(SysFault::NotFound);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return Failure(SysFault::Busy);
    default: return Failure(IsGone(GetLastError()) ? SysFault::Gone : SysFault::Failed);
  }
}

// Every ClearCommError goes through here, so that no call loses the
// overruns it reports to whoever asks next.
bool ClearErrors(Win32Port* port, COMSTAT* status) {
  DWORD errors = 0;
  if (!ClearCommError(port->handle, &errors, status)) {
    NoteFailure(port);
    return false;
  }
  if (errors & (CE_OVERRUN | CE_RXOVER)) ++port->overruns;
  return true;
}

int64_t PerformanceFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

// CreateFileA finds COM1 to COM9 by their bare names only; "COM10" and above
// must be opened as "\\.\COM10". A name that carries a prefix already is
// used as it stands.
bool NeedsDevicePrefix(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0) return false;
  const char* digits = name + 3;
  const size_t count = std::strlen(digits);
  if (count < 2 || std::strspn(digits, "0123456789") != count) return false;
  return digits[0] != '0';
}

// The constants are assigned as they are: the DCB fields are 2-bit fields.
void SetDtrControl(DCB* dcb, LineControl control) {
  switch (control) {
    case LineControl::Enable: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case LineControl::Handshake: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
  }
}

void SetRtsControl(DCB* dcb, LineControl control) {
  switch (control) {
    case LineControl::Enable: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case LineControl::Handshake: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case LineControl::Toggle: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
  }
}

}  // namespace

HANDLE Win32HandleOf(PortHandle port) {
  const Win32Port* held = PortOf(port);
  return held != nullptr ? held->handle : INVALID_HANDLE_VALUE;
}

namespace {

// The device `name`, opened exclusively into `handle`.
SysResult OpenDevice(const char* name, HANDLE* handle) {
  char prefixed[32];
  const char* path = name;
  *handle = INVALID_HANDLE_VALUE;
  if (NeedsDevicePrefix(name)) {
    const int written = std::snprintf(prefixed, sizeof prefixed, "\\\\.\\%s", name);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof prefixed)
      return {SysFault::NotFound, ERROR_INVALID_NAME};
    path = prefixed;
  }
  // Share mode 0: a second open of the same port fails while this one holds it.
  *handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  return *handle != INVALID_HANDLE_VALUE ? kSysDone : OpenFailure();
}

}  // namespace

const char kSysCodeName[] = "error";

SysResult SysOpenDevice(const char* name, PortHandle* port) {
  *port = kInvalidPort;
  HANDLE handle = INVALID_HANDLE_VALUE;
  const SysResult opened = OpenDevice(name, &handle);
  if (!opened.ok()) return opened;
  uint32_t index = 0;
  *port = ClaimPortSlot(&g_claims, &index);
  if (*port == kInvalidPort) {
    CloseHandle(handle);
    return {SysFault::Failed, ERROR_TOO_MANY_OPEN_FILES};  // every slot held
  }
  g_ports[index] = Win32Port{};
  g_ports[index].handle = handle;
  return kSysDone;
}

bool SysCloseDevice(PortHandle port) {
  Win32Port* held = HeldPortOf(port);
  if (held == nullptr || (held->handle != INVALID_HANDLE_VALUE && !CloseHandle(held->handle))) return false;
  ReleasePortSlot(&g_claims, port);
  return true;
}

bool SysPortSlot(PortHandle port, uint32_t* slot) { return FindPortSlot(g_claims, port, slot); }

bool SysDeviceGone(PortHandle port) {
  const Win32Port* held = HeldPortOf(port);
  return held != nullptr && held->handle == INVALID_HANDLE_VALUE;
}

void SysLetDeviceGo(PortHandle port) {
  Win32Port* held = PortOf(port);
  if (held != nullptr) LetGo(held);
}

SysResult SysReopenDevice(PortHandle port, const char* name) {
  Win32Port* held = HeldPortOf(port);
  if (held == nullptr || held->handle != INVALID_HANDLE_VALUE) return {SysFault::Failed, 0};
  return OpenDevice(name, &held->handle);  // the handle stays invalid when it fails
}

SysResult SysReadLineState(PortHandle port, DeviceLineState* state) {
  const Win32Port* held = PortOf(port);
  if (held == nullptr) return kNoDevice;
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(held->handle, &dcb)) return Failure(SysFault::NotSerial);
  std::memcpy(state->bytes, &dcb, sizeof dcb);
  return kSysDone;
}

void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings) {
  DCB dcb;
  std::memcpy(&dcb, state->bytes, sizeof dcb);
  dcb.BaudRate = settings.baudRate;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 0;  // no output flow control: the driver keys the line itself
  dcb.fOutxDsrFlow = 0;
  SetDtrControl(&dcb, settings.dtr);
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  // A byte received with a parity error (and, with the system's own serial
  // driver, a framing error) is delivered as the error character, so that
  // the exchange can tell a damaged reply from a good one.
  dcb.fErrorChar = settings.markDamaged ? 1 : 0;
  dcb.fNull = 0;  // received zero bytes are delivered
  SetRtsControl(&dcb, settings.rts);
  dcb.fAbortOnError = 0;  // reads and writes go on after a line error
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stopBits;
  dcb.ErrorChar = static_cast<char>(settings.errorChar);
  std::memcpy(state->bytes, &dcb, sizeof dcb);
}

SysResult SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  Win32Port* held = PortOf(port);
  if (held == nullptr) return kNoDevice;
  DCB dcb;
  std::memcpy(&dcb, state.bytes, sizeof dcb);
  if (!SetCommState(held->handle, &dcb)) return Failure(SysFault::SettingsRefused);
  held->baudRate = dcb.BaudRate;
  held->dataBits = dcb.ByteSize;
  held->parity = dcb.Parity;
  held->stopBits = dcb.StopBits;
  held->characterNs = CharacterNanoseconds(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
  return kSysDone;
}

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  Win32Port* held = HeldPortOf(port);
  if (held == nullptr) return false;
  if (held->handle == INVALID_HANDLE_VALUE) {
    *timeouts = held->timeouts;  // as the port had them, for when it comes back
    return true;
  }
  COMMTIMEOUTS system;
  if (!GetCommTimeouts(held->handle, &system)) return false;
  timeouts->readInterval = system.ReadIntervalTimeout;
  timeouts->readTotalMultiplier = system.ReadTotalTimeoutMultiplier;
  timeouts->readTotalConstant = system.ReadTotalTimeoutConstant;
  timeouts->writeTotalMultiplier = system.WriteTotalTimeoutMultiplier;
  timeouts->writeTotalConstant = system.WriteTotalTimeoutConstant;
  held->timeouts = *timeouts;
  return true;
}

namespace {

bool WriteTimeouts(HANDLE handle, const CommTimeouts& timeouts) {
  COMMTIMEOUTS system;
  system.ReadIntervalTimeout = timeouts.readInterval;
  system.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
  system.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
  system.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
  system.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
  return SetCommTimeouts(handle, &system) != FALSE;
}

}  // namespace

bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  Win32Port* held = PortOf(port);
  if (held == nullptr || !WriteTimeouts(held->handle, timeouts)) return false;
  held->timeouts = timeouts;
  return true;
}

void SysSetQueueSizes(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
  const Win32Port* held = PortOf(port);
  if (held != nullptr)
    SetupComm(held->handle, inputBytes, outputBytes);  // a recommendation to the device driver
}

bool SysCountWaitingInput(PortHandle port, uint32_t* waiting) {
  Win32Port* held = PortOf(port);
  COMSTAT status;
  if (held == nullptr || !ClearErrors(held, &status)) return false;
  *waiting = status.cbInQue;
  return true;
}

SysResult SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received, uint32_t limitMs) {
  *received = 0;
  Win32Port* held = PortOf(port);
  if (held == nullptr) return kNoDevice;
  // A limit shorter than the port's time-out holds for this request only.
  const uint32_t ownMs = held->timeouts.readTotalConstant;
  const bool limited = limitMs != kPortReadTimeout && (ownMs == 0 || limitMs < ownMs);
  CommTimeouts timeouts = {0, 0, limitMs == 0 ? 1 : limitMs, 0, 0};
  if (limited && !WriteTimeouts(held->handle, timeouts)) return Failure(SysFault::Failed);
  DWORD moved = 0;
  const BOOL ok = ReadFile(held->handle, buffer, count, &moved, nullptr);
  *received = moved;
  const SysResult read = ok ? kSysDone : NoteFailure(held);
  if (limited && held->handle != INVALID_HANDLE_VALUE) {
    timeouts.readTotalConstant = ownMs;
    WriteTimeouts(held->handle, timeouts);  // a port that took the limit takes its own back
  }
  return read;
}

SysResult SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
                   uint32_t* waitingWhenSent) {
  *written = 0;
  *waitingWhenSent = 0;
  Win32Port* held = PortOf(port);
  if (held == nullptr) return kNoDevice;
  const int64_t started = SysNowMicroseconds();
  DWORD moved = 0;
  const BOOL ok = WriteFile(held->handle, bytes, count, &moved, nullptr);
  *written = moved;
  if (!ok) return NoteFailure(held);
  // WriteFile returns once the bytes are handed to the device driver: its
  // queue, the UART's FIFO, or a USB adapter's whole buffer. A converter
  // keyed by RTS would cut off what has not left yet, so the write returns
  // only once the queue is empty and the frame's time on the wire has
  // passed, whichever comes later; the shift register is inside that time.
  // A port with no line settings (the null device) has nothing to wait for.
  if (held->characterNs == 0) return kSysDone;
  const int64_t wireEnd =
      started + WireMicroseconds(moved, held->baudRate, held->dataBits, held->parity, held->stopBits);
  const int64_t giveUp = wireEnd + int64_t{held->timeouts.readTotalConstant} * 1000;
  for (;;) {
    COMSTAT status;
    if (!ClearErrors(held, &status)) return held->handle == INVALID_HANDLE_VALUE ? kNoDevice : kSysDone;
    const int64_t now = SysNowMicroseconds();
    *waitingWhenSent = StaleBytes(status.cbInQue, now, wireEnd, held->characterNs);
    if ((status.cbOutQue == 0 && now >= wireEnd) || now >= giveUp) break;
    // Sleep(1) may last a whole timer tick (15.6 ms): it only shortens a
    // wait that is longer than that; the rest is polled to the moment.
    if (wireEnd - now > 20000) Sleep(1);
  }
  return kSysDone;
}

uint32_t SysInputOverruns(PortHandle port) {
  Win32Port* held = PortOf(port);
  if (held == nullptr) return 0;
  COMSTAT status;
  ClearErrors(held, &status);  // adds what the device reports now
  return held->overruns;
}

uint32_t SysCharacterNanoseconds(PortHandle port) {
  const Win32Port* held = PortOf(port);
  return held == nullptr ? 0 : held->characterNs;
}

int64_t SysNowMicroseconds() {
  static const int64_t frequency = PerformanceFrequency();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

bool SysSetRts(PortHandle port, bool on) {
  const Win32Port* held = PortOf(port);
  return held != nullptr && EscapeCommFunction(held->handle, on ? SETRTS : CLRRTS) != FALSE;
}

bool SysReadCts(PortHandle port, bool* ctsOn) {
  const Win32Port* held = PortOf(port);
  DWORD status = 0;
  if (held == nullptr || !GetCommModemStatus(held->handle, &status)) return false;
  *ctsOn = (status & MS_CTS_ON) != 0;
  return true;
}

void SysSleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }
