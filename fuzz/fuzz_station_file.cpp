// Station file contents through opcode 1: the station address is 1 when the
// file names none, the number after the first '=' when it lies in 0-9999,
// and the unaddressable marker otherwise; nothing past 100 bytes counts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

uint16_t ExpectedStation(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 100));
  const size_t end = text.find('\0');
  const size_t equals = text.substr(0, end).find('=');
  if (equals == std::string::npos) return 1;
  const std::string after = text.substr(equals + 1);  // still within the first 100 bytes
  const char* start = after.c_str();
  char* stop = nullptr;
  const long long value = std::strtoll(start, &stop, 10);
  // strtoll also takes "0x" or nothing as a number; the driver wants digits.
  const char* digits = start;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  if (*digits < '0' || *digits > '9') return 1;
  (void)stop;
  if (value < 0 || value > 9999) return 0xFFFF;  // strtoll saturates what overflows
  return static_cast<uint16_t>(value);
}

// The run's own folder for the station file, removed when the run ends.
char g_directory[] = "/tmp/qvotk-fuzz-XXXXXX";

void RemoveDirectory() {
  std::remove((std::string(g_directory) + "/QVOTK01.int").c_str());
  rmdir(g_directory);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (mkdtemp(g_directory) == nullptr || chdir(g_directory) != 0) std::abort();
  std::atexit(RemoveDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen("QVOTK01.int", "wb");
  if (file == nullptr) std::abort();
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  FreshLine();
  QvoChannel channel;
  FUZZ_CHECK(OpenChannelOnCom1(&channel));
  FUZZ_CHECK(channel.stationAddress == ExpectedStation(data, size));
  return 0;
}
