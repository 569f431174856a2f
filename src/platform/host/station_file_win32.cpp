#include <windows.h>

#include "platform/host/station_file.h"

bool ReadStationFile(const char* name, char* buffer, uint32_t capacity, uint32_t* length) {
  *length = 0;
  // Shared for reading, writing and deleting: an editor or a deployment tool
  // that holds the file open must not turn the line's station into 1.
  const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Only a file on disk is a station file: a pipe or a device of that name is not.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  DWORD moved = 0;
  if (ReadFile(file, buffer, capacity, &moved, nullptr)) *length = moved;
  CloseHandle(file);
  return true;
}
