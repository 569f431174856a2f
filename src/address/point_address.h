// Point names as the host's users type them: the S point ("S"), or a
// numbered point of exactly three digits ("000" to "999"), each optionally
// followed by blanks up to eight characters.
#pragma once

#include <cstdint>

#include "qvotk/qvotk.h"

constexpr uint32_t kPointNameWidth = 8;

// Eight allowed-character sets, one for each position of a point name.
struct PointPattern {
  const char* allowed[kPointNameWidth];
};

constexpr PointPattern kSPointPattern = {{"Ss", " ", " ", " ", " ", " ", " ", " "}};
constexpr PointPattern kNumberedPointPattern = {
    {"0123456789", "0123456789", "0123456789", " ", " ", " ", " ", " "}};

// The name upper-cased and padded with blanks to eight characters, without
// a terminator. Characters after the eighth are ignored.
struct PointNameBuffer {
  char text[kPointNameWidth];
};

void NormalizePointName(const char* name, PointNameBuffer* buffer);
bool MatchPattern(const PointPattern& pattern, const PointNameBuffer& buffer);

QvoStatus ParsePointAddress(QvoRequest* request);  // opcode 3
QvoStatus CheckBlockAddress(QvoRequest* request);  // opcode 4
