// The life of a channel: open (with the station file), flush, close,
// reopen and reconfigure.
#pragma once

#include <cstdint>

#include "qvotk/qvotk.h"

// The driver opens every port with RTS control enabled and DTR disabled.
constexpr uint16_t kChannelOpenFlags = 0x0202;

constexpr uint16_t kDefaultStationAddress = 1;
// Stored for a station file whose number cannot travel as four digits: no
// value request is sent on the channel until a valid file is read.
constexpr uint16_t kUnaddressableStation = 0xFFFF;
constexpr uint32_t kStationFileBytes = 100;

QvoStatus OpenChannel(QvoRequest* request);         // opcode 1
QvoStatus FlushChannel(QvoRequest* request);        // opcode 2
QvoStatus CloseChannel(QvoRequest* request);        // opcodes 11 and 12
QvoStatus ReopenChannel(QvoRequest* request);       // opcode 13
QvoStatus ReconfigureChannel(QvoRequest* request);  // opcode 15

void LoadStationAddress(QvoChannel* channel, int32_t lineNumber);

// The station address in the text of a station file: the decimal number
// after its first '=' (leading white space and a sign allowed), within the
// bytes given. Missing '=' or number: 1; a number outside 0-9999:
// kUnaddressableStation.
uint16_t ParseStationAddress(const char* text, uint32_t length);
