#include <windows.h>

#include "platform/host/capture_file.h"

bool SysCaptureFileName(char* name, uint32_t capacity) {
  // The host process's environment; 0 when unset, the size wanted when too long.
  const DWORD length = GetEnvironmentVariableA(kCaptureVariable, name, capacity);
  return length > 0 && length < capacity;
}

CaptureFile SysOpenCaptureFile(const char* name) {
  // Appending only: every write lands at the end, whoever else appends.
  const HANDLE file = CreateFileA(name, FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNoCaptureFile;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return kNoCaptureFile;
  }
  return reinterpret_cast<CaptureFile>(file);
}

bool SysReadCaptureStart(CaptureFile file, uint8_t* bytes, uint32_t capacity, uint32_t* length) {
  // The handle's position is still the start: nothing has been appended yet.
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(file), bytes, capacity, &got, nullptr)) return false;
  *length = got;
  return true;
}

bool SysAppendCapture(CaptureFile file, const void* bytes, uint32_t count) {
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file), bytes, count, &written, nullptr) && written == count;
}

void SysCloseCaptureFile(CaptureFile file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

int64_t SysWallClockMicroseconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // 100 ns ticks since 1601-01-01.
  const int64_t ticks = (int64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  return ticks / 10 - int64_t{11644473600} * 1000000;
}
