// The host's value requests: read one value (opcode 5), write one value
// (opcode 7) and read a block of values (opcode 6).
#pragma once

#include <cstdint>

#include "entry/request.h"

QvoStatus ReadValue(QvoRequest* request);   // opcode 5
QvoStatus ReadBlock(QvoRequest* request);   // opcode 6
QvoStatus WriteValue(QvoRequest* request);  // opcode 7

// Single attempts: one request frame, one reply.
QvoStatus WriteSPoint(QvoChannel* channel, uint16_t value);
QvoStatus WriteNumberedPoint(QvoChannel* channel, uint16_t pointNumber, uint16_t value);
QvoStatus ReadSPoint(QvoChannel* channel, uint16_t* value);
QvoStatus ReadNumberedPoint(QvoChannel* channel, uint16_t pointNumber, uint16_t* value);
QvoStatus ReadBlockOnce(QvoRequest* request, uint16_t* values);
