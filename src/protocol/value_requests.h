// The host's value requests: read one value (opcode 5), write one value
// (opcode 7) and read a block of values (opcode 6).
#pragma once

#include <cstdint>

#include "protocol/replies.h"
#include "qvotk/qvotk.h"

QvoStatus ReadValue(QvoRequest* request);   // opcode 5
QvoStatus ReadBlock(QvoRequest* request);   // opcode 6
QvoStatus WriteValue(QvoRequest* request);  // opcode 7

// Single attempts: one request frame, one reply, accounted in the request's
// ledger.
QvoStatus WriteSPoint(LineLedger* ledger, uint16_t value);
QvoStatus WriteNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t value);
QvoStatus ReadSPoint(LineLedger* ledger, uint16_t* value);
QvoStatus ReadNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t* value);
QvoStatus ReadBlockOnce(LineLedger* ledger, int32_t valueCount, uint16_t* values);
