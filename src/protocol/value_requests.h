// The value requests: read one value, write one value, read a block of
// values, each with its attempts. Point kinds are the host's codes
// (QVO_POINT_S, QVO_POINT_NUMBERED); results are QvoStatus values. A port
// whose device has gone is sought first (serial_port.h): while it is still
// gone a request answers 2 at once, before anything else is judged.
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
