// What may be read as a block: the controller answers a block request only
// for numbered point 1, and its count byte announces at most 255 values.
#pragma once

#include <cstdint>

constexpr uint32_t kBlockPointNumber = 1;
constexpr int32_t kMaxBlockValues = 255;

// Shared by the block read and the host's question whether an address can
// be read as a block, so the answer never promises what the read refuses.
constexpr bool IsReadableBlock(uint32_t pointKind, uint32_t pointNumber, int32_t valueCount) {
  return pointKind != 0 && pointNumber == kBlockPointNumber && valueCount >= 0 &&
         valueCount <= kMaxBlockValues;
}
