#include "qvotk_host/host_facts.h"

#include <cstring>

namespace qvotk_host {

namespace {
const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};
}  // namespace

bool FitPortName(const std::string& given, std::string* port) {
  const size_t prefix = sizeof kDeviceFolder - 1;
  if (given.size() <= kLongestPortName) {
    *port = given;
  } else if (given.compare(0, prefix, kDeviceFolder) == 0 && given.size() - prefix <= kLongestPortName) {
    *port = given.substr(prefix);  // the driver looks bare names up under /dev
  } else {
    return false;
  }
  return true;
}

const char* ParityName(int code) { return code >= 0 && code <= 4 ? kParityNames[code] : "?"; }

int ParityCode(const char* name) {
  for (int code = 0; code <= 4; ++code) {
    if (std::strcmp(name, kParityNames[code]) == 0) return code;
  }
  return -1;
}

uint16_t StopBitsCode(const char* name) {
  if (std::strcmp(name, "1.5") == 0) return 1;
  return std::strcmp(name, "2") == 0 ? 2 : 0;
}

FrameLengths ValueFrames(bool sPoint, bool write) {
  if (sPoint) return write ? FrameLengths{15, 15} : FrameLengths{17, 21};
  return write ? FrameLengths{19, 19} : FrameLengths{19, 23};
}

FrameLengths BlockFrames(int32_t count) { return {15, 2 * static_cast<uint32_t>(count) + 7}; }

double WireMicroseconds(uint32_t characters, uint32_t baud) {
  return baud == 0 ? 0 : characters * double{kBitsPerCharacter} * 1e6 / baud;
}

}  // namespace qvotk_host
