#include "win32_standin.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim_line/sim_line.h"

namespace win32 {

std::vector<std::string> StandIn::Functions() const {
  std::vector<std::string> names;
  for (const Call& call : calls) names.push_back(call.function);
  return names;
}

void StandIn::Reset() { *this = StandIn(); }

StandIn& State() {
  static StandIn state;
  return state;
}

}  // namespace win32

namespace {

using sim::SimLine;
using win32::State;

DWORD g_lastError = 0;

// A function made to fail leaves its error, as Windows does; by default
// one no judgement of the foundation knows.
bool Record(const char* function, const std::string& text = "", DWORD value = 0) {
  State().calls.push_back({function, text, value});
  if (State().failing.count(function) == 0) return true;
  const auto error = State().failingWith.find(function);
  g_lastError = error != State().failingWith.end() ? error->second : ERROR_GEN_FAILURE + 1000;
  return false;
}

// A request on a device that has gone fails as Windows fails it.
BOOL Answer(HANDLE file, bool answered) {
  if (answered) return TRUE;
  const sim::SimDevice* device =
      SimLine::Get().DeviceOf(static_cast<PortHandle>(reinterpret_cast<uintptr_t>(file)));
  g_lastError =
      device != nullptr && device->unplugged ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE + 1000;
  return FALSE;
}

PortHandle PortOf(HANDLE handle) { return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle)); }

LineControl ControlOf(DWORD mode, bool rts) {
  switch (mode) {
    case 1: return LineControl::Enable;
    case 2: return LineControl::Handshake;
    case 3: return rts ? LineControl::Toggle : LineControl::Disable;
    default: return LineControl::Disable;
  }
}

// The host's error-report routine, as DAVRIN exports it.
int __cdecl HostErr(int code, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  State().davrinReports.push_back(std::to_string(code) + ": " + text);
  State().davrinFormats.push_back(format);
  return 0;
}

HMODULE const kDavrin = reinterpret_cast<HMODULE>(0xDA7);

// Handles of files are kept apart from the simulated line's ports.
constexpr uintptr_t kFileHandleBase = 0xF11E0000u;
const win32::File* g_openFile = nullptr;

bool IsFileHandle(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle) == kFileHandleBase; }

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD creationDisposition, DWORD flagsAndAttributes,
                          HANDLE templateFile) {
  const bool serialOpen = desiredAccess == (GENERIC_READ | GENERIC_WRITE) && shareMode == 0 &&
                          security == nullptr && creationDisposition == OPEN_EXISTING &&
                          flagsAndAttributes == FILE_ATTRIBUTE_NORMAL && templateFile == nullptr;
  if (!Record("CreateFileA", fileName, serialOpen ? 1 : 0)) return INVALID_HANDLE_VALUE;
  const auto file = State().files.find(fileName);
  if (file != State().files.end()) {
    State().fileShareModes.push_back(shareMode);
    g_openFile = &file->second;
    return reinterpret_cast<HANDLE>(kFileHandleBase);
  }
  const PortHandle port = SimLine::Get().Open(fileName);
  if (port != kInvalidPort) return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(port));
  // As Windows answers: no such device, or a port that another holds.
  const sim::SimDevice* device = SimLine::Get().Find(fileName);
  g_lastError = device == nullptr || device->unplugged ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  if (!Record("CloseHandle")) return FALSE;
  if (IsFileHandle(object)) {
    g_openFile = nullptr;
    return TRUE;
  }
  return SimLine::Get().Close(PortOf(object));
}

DWORD WINAPI GetFileType(HANDLE file) {
  Record("GetFileType");
  return IsFileHandle(file) && g_openFile != nullptr ? g_openFile->type : FILE_TYPE_CHAR;
}

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
  if (!Record("GetCommState", "", dcb->DCBlength)) return FALSE;
  LineSettings settings{};
  if (!SimLine::Get().ReadLineState(PortOf(file), &settings)) {
    g_lastError = ERROR_INVALID_FUNCTION;  // not a serial device
    return FALSE;
  }
  const DWORD length = dcb->DCBlength;
  *dcb = State().deviceDcb;
  dcb->DCBlength = length;
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
  State().dcbsSet.push_back(*dcb);
  if (!Record("SetCommState")) return FALSE;
  LineSettings settings{};
  settings.baudRate = dcb->BaudRate;
  settings.byteSize = dcb->ByteSize;
  settings.parity = dcb->Parity;
  settings.stopBits = dcb->StopBits;
  settings.errorChar = static_cast<uint8_t>(dcb->ErrorChar);
  settings.markDamaged = dcb->fErrorChar != 0;
  settings.dtr = ControlOf(dcb->fDtrControl, false);
  settings.rts = ControlOf(dcb->fRtsControl, true);
  if (SimLine::Get().WriteLineState(PortOf(file), settings)) return TRUE;
  g_lastError = ERROR_INVALID_PARAMETER;
  return FALSE;
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  if (!Record("GetCommTimeouts")) return FALSE;
  CommTimeouts t{};
  if (!SimLine::Get().ReadTimeouts(PortOf(file), &t)) return FALSE;
  *timeouts = {t.readInterval, t.readTotalMultiplier, t.readTotalConstant, t.writeTotalMultiplier,
               t.writeTotalConstant};
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  State().timeoutsSet.push_back(*timeouts);
  if (!Record("SetCommTimeouts", "", timeouts->ReadTotalTimeoutConstant)) return FALSE;
  const CommTimeouts t = {timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                          timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                          timeouts->WriteTotalTimeoutConstant};
  return SimLine::Get().WriteTimeouts(PortOf(file), t);
}

BOOL WINAPI SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  if (!Record("SetupComm", "", inQueue)) return FALSE;
  State().inputQueue = inQueue;
  State().outputQueue = outQueue;
  SimLine::Get().SetQueueSizes(PortOf(file), inQueue, outQueue);
  return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  if (!Record("ClearCommError")) return FALSE;
  SimLine& line = SimLine::Get();
  uint32_t waiting = 0;
  if (!line.CountWaitingInput(PortOf(file), &waiting)) return Answer(file, false);
  // Reports, and resets, the overruns since the last call.
  const uint32_t overruns = line.Overruns(PortOf(file));
  uint32_t& reported = State().overrunsReported[PortOf(file)];
  if (errors != nullptr) *errors = overruns != reported ? CE_OVERRUN : 0;
  reported = overruns;
  if (status != nullptr) {
    std::memset(status, 0, sizeof *status);
    status->cbInQue = waiting;
    status->cbOutQue = line.OutputQueued(PortOf(file));
  }
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
  if (!Record("ReadFile", "", bytesToRead) || overlapped != nullptr) return FALSE;
  if (IsFileHandle(file)) {
    const std::string& contents = g_openFile->contents;
    *bytesRead = static_cast<DWORD>(std::min<size_t>(bytesToRead, contents.size()));
    std::memcpy(buffer, contents.data(), *bytesRead);
    return TRUE;
  }
  uint32_t received = 0;
  const bool ok = SimLine::Get().Read(PortOf(file), buffer, bytesToRead, &received);
  *bytesRead = received;
  return Answer(file, ok);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
  if (!Record("WriteFile", "", bytesToWrite) || overlapped != nullptr) return FALSE;
  uint32_t written = 0;
  const bool ok = SimLine::Get().Write(PortOf(file), buffer, bytesToWrite, &written);
  *bytesWritten = written;
  return Answer(file, ok);
}

BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
  if (!Record("EscapeCommFunction", "", function)) return FALSE;
  if (function != SETRTS && function != CLRRTS) return FALSE;
  return SimLine::Get().SetRts(PortOf(file), function == SETRTS);
}

BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  if (!Record("GetCommModemStatus")) return FALSE;
  bool cts = false;
  if (!SimLine::Get().ReadCts(PortOf(file), &cts)) return FALSE;
  *modemStatus = cts ? MS_CTS_ON : 0;
  return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
  Record("Sleep", "", milliseconds);
  SimLine::Get().Sleep(milliseconds);
}

DWORD WINAPI GetLastError() { return g_lastError; }
void WINAPI SetLastError(DWORD error) { g_lastError = error; }

// The virtual clock, in microseconds. Asking for it takes a little time,
// so that a loop that polls it runs out.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
  SimLine::Get().Advance(win32::kClockReadMicroseconds);
  count->QuadPart = static_cast<int64_t>(SimLine::Get().NowMicroseconds());
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  frequency->QuadPart = 1000000;
  return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
  Record("GetModuleHandleA", moduleName);
  return State().davrinLoaded && strcasecmp(moduleName, "DAVRIN") == 0 ? kDavrin : nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  Record("GetProcAddress", procName);
  if (module != kDavrin || std::strcmp(procName, "err") != 0) return nullptr;
  // Through void (*)(), the accepted way to change a function pointer type.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&HostErr));
}

void WINAPI OutputDebugStringA(LPCSTR outputString) {
  Record("OutputDebugStringA", outputString);
  State().debugStrings.push_back(outputString);
}

int _strnicmp(const char* a, const char* b, size_t count) { return strncasecmp(a, b, count); }
