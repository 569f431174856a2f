// The value requests: read one value, write one value, read a block of
// values, each with its attempts. Point kinds are the host's codes
// (QVO_POINT_S, QVO_POINT_NUMBERED); results are QvoStatus values.
#pragma once

#include <cstdint>

#include "protocol/replies.h"
#include "qvotk/qvotk.h"

// One value of a point: the S point, or a numbered point 0-999.
QvoStatus ReadPointValue(const ControllerLine& line, uint32_t pointKind, uint16_t pointNumber,
                         uint16_t* value);
QvoStatus WritePointValue(const ControllerLine& line, uint32_t pointKind, uint16_t pointNumber,
                          uint16_t value);
// `count` values into `values` (which may be null when `count` is 0), in
// one exchange; only numbered point 1 reads as a block.
QvoStatus ReadValueBlock(const ControllerLine& line, uint32_t pointKind, uint32_t pointNumber, int32_t count,
                         uint16_t* values);

// Single attempts: one request frame, one reply, accounted in the request's
// ledger.
QvoStatus WriteSPoint(LineLedger* ledger, uint16_t value);
QvoStatus WriteNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t value);
QvoStatus ReadSPoint(LineLedger* ledger, uint16_t* value);
QvoStatus ReadNumberedPoint(LineLedger* ledger, uint16_t pointNumber, uint16_t* value);
QvoStatus ReadBlockOnce(LineLedger* ledger, int32_t valueCount, uint16_t* values);
