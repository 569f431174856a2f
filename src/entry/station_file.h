// The station file: one per line, read at open from the host's working
// directory, named after the line ("QVOTK03.int" for line 3). The decimal
// number after its first '=' is the controller's station address.
#pragma once

#include <cstdint>

constexpr uint16_t kDefaultStationAddress = 1;
// Stored for a station file whose number cannot travel as four digits: no
// value request is sent on the channel until a valid file is read.
constexpr uint16_t kUnaddressableStation = 0xFFFF;
// Only the file's first bytes count.
constexpr uint32_t kStationFileBytes = 100;

// The station address of line `lineNumber`: 1 without a file.
uint16_t LoadStationAddress(int32_t lineNumber);

// The station address in the text of a station file: the decimal number
// after its first '=' (leading white space and a sign allowed), within the
// bytes given. Missing '=' or number: 1; a number outside 0-9999:
// kUnaddressableStation.
uint16_t ParseStationAddress(const char* text, uint32_t length);
