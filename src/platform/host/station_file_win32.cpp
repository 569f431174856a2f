#include <windows.h>

#include "platform/host/station_file.h"

bool ReadStationFile(const char* name, char* buffer, uint32_t capacity, uint32_t* length) {
  *length = 0;
  const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD moved = 0;
  if (ReadFile(file, buffer, capacity, &moved, nullptr)) *length = moved;
  CloseHandle(file);
  return true;
}
