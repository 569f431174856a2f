// What the Win32 stand-in recorded, and how a test steers it.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "windows.h"

namespace win32 {

// How long one reading of the performance counter takes on the virtual clock.
constexpr uint64_t kClockReadMicroseconds = 5;

struct Call {
  std::string function;
  std::string text;  // the name opened, the debug string
  DWORD value = 0;   // DCBlength given, EscapeCommFunction code, queue size
};

// A file that CreateFileA finds by its name, with its type.
struct File {
  std::string contents;
  DWORD type = FILE_TYPE_DISK;
};

struct StandIn {
  std::vector<Call> calls;
  std::map<std::string, File> files;
  std::vector<DWORD> fileShareModes;         // the share mode of each open of a file
  std::set<std::string> failing;             // function names that fail
  std::map<std::string, DWORD> failingWith;  // the error each of them leaves, where not the default
  // The line state a device reports before anything is set.
  DCB deviceDcb{};
  std::vector<DCB> dcbsSet;
  std::vector<COMMTIMEOUTS> timeoutsSet;
  DWORD inputQueue = 0;
  DWORD outputQueue = 0;
  bool davrinLoaded = false;
  std::vector<std::string> davrinReports;  // "code: text" as the host's err received them
  std::vector<std::string> davrinFormats;  // the format each call of err carried
  std::vector<std::string> debugStrings;
  std::map<uint32_t, uint32_t> overrunsReported;  // per port, as ClearCommError last told

  std::vector<std::string> Functions() const;
  void Reset();
};

StandIn& State();

}  // namespace win32
