// Point names as the host's users type them: the S point ("S"), or a
// numbered point of exactly three digits ("000" to "999"), each optionally
// followed by blanks up to eight characters.
#pragma once

#include <cstdint>

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

// What a name names: the point kind (QVO_POINT_S or QVO_POINT_NUMBERED) and,
// for a numbered point, its number.
struct NamedPoint {
  bool valid;
  uint32_t kind;
  int32_t number;
};

// Judges `name` (null is the empty name) by its first eight characters.
NamedPoint ValidatePointName(const char* name);
