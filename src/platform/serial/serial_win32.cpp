// The serial services on Windows: the kernel's serial-communication API on a
// synchronous handle.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/serial/serial_services.h"

namespace {

static_assert(sizeof(DCB) <= sizeof(DeviceLineState::bytes));

// Handles are 32 bits on the target; the channel keeps them in 32 bits.
HANDLE HandleOf(PortHandle port) {
  if (port == kInvalidPort) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(port));
}

PortHandle PortOf(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return kInvalidPort;
  return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle));
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

PortHandle SysOpenDevice(const char* name) {
  char prefixed[32];
  const char* path = name;
  if (NeedsDevicePrefix(name)) {
    const int written = std::snprintf(prefixed, sizeof prefixed, "\\\\.\\%s", name);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof prefixed) return kInvalidPort;
    path = prefixed;
  }
  // Share mode 0: a second open of the same port fails while this one holds it.
  const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return PortOf(handle);
}

bool SysCloseDevice(PortHandle port) { return CloseHandle(HandleOf(port)) != FALSE; }

bool SysReadLineState(PortHandle port, DeviceLineState* state) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(HandleOf(port), &dcb)) return false;
  std::memcpy(state->bytes, &dcb, sizeof dcb);
  return true;
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
  dcb.fErrorChar = 0;  // bytes with a parity error are delivered, not replaced
  dcb.fNull = 0;       // received zero bytes are delivered
  SetRtsControl(&dcb, settings.rts);
  dcb.fAbortOnError = 0;  // reads and writes go on after a line error
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stopBits;
  dcb.ErrorChar = static_cast<char>(settings.errorChar);
  std::memcpy(state->bytes, &dcb, sizeof dcb);
}

bool SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  DCB dcb;
  std::memcpy(&dcb, state.bytes, sizeof dcb);
  return SetCommState(HandleOf(port), &dcb) != FALSE;
}

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  COMMTIMEOUTS system;
  if (!GetCommTimeouts(HandleOf(port), &system)) return false;
  timeouts->readInterval = system.ReadIntervalTimeout;
  timeouts->readTotalMultiplier = system.ReadTotalTimeoutMultiplier;
  timeouts->readTotalConstant = system.ReadTotalTimeoutConstant;
  timeouts->writeTotalMultiplier = system.WriteTotalTimeoutMultiplier;
  timeouts->writeTotalConstant = system.WriteTotalTimeoutConstant;
  return true;
}

bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  COMMTIMEOUTS system;
  system.ReadIntervalTimeout = timeouts.readInterval;
  system.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
  system.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
  system.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
  system.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
  return SetCommTimeouts(HandleOf(port), &system) != FALSE;
}

void SysSetQueueSizes(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
  SetupComm(HandleOf(port), inputBytes, outputBytes);  // a recommendation to the device driver
}

bool SysCountWaitingInput(PortHandle port, uint32_t* waiting) {
  DWORD errors = 0;
  COMSTAT status;
  if (!ClearCommError(HandleOf(port), &errors, &status)) return false;
  *waiting = status.cbInQue;
  return true;
}

bool SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
  DWORD moved = 0;
  const BOOL ok = ReadFile(HandleOf(port), buffer, count, &moved, nullptr);
  *received = moved;
  return ok != FALSE;
}

bool SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written) {
  DWORD moved = 0;
  const BOOL ok = WriteFile(HandleOf(port), bytes, count, &moved, nullptr);
  *written = moved;
  return ok != FALSE;
}

bool SysSetRts(PortHandle port, bool on) {
  return EscapeCommFunction(HandleOf(port), on ? SETRTS : CLRRTS) != FALSE;
}

bool SysReadCts(PortHandle port, bool* ctsOn) {
  DWORD status = 0;
  if (!GetCommModemStatus(HandleOf(port), &status)) return false;
  *ctsOn = (status & MS_CTS_ON) != 0;
  return true;
}

void SysSleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }
