// How long characters take on a serial line, for the deadlines of the
// foundations and the exchange. A character is one start bit, the data
// bits, a parity bit where parity is on, and the stop bits; the code for
// one and a half stop bits counts 1.5.
#pragma once

#include <cstdint>

constexpr uint32_t CharacterHalfBits(uint8_t dataBits, uint8_t parity, uint8_t stopBitsCode) {
  return 2u * (1u + dataBits + (parity != 0 ? 1u : 0u)) + (stopBitsCode == 0   ? 2u
                                                           : stopBitsCode == 1 ? 3u
                                                                               : 4u);
}

// One character, rounded down; 0 at a rate of 0 (no line).
constexpr uint32_t CharacterNanoseconds(uint32_t baud, uint8_t dataBits, uint8_t parity,
                                        uint8_t stopBitsCode) {
  return baud == 0 ? 0
                   : static_cast<uint32_t>(uint64_t{CharacterHalfBits(dataBits, parity, stopBitsCode)} *
                                           500000000u / baud);
}

// `characters` on the line, rounded up to the microsecond: a wait this long
// has seen the last stop bit.
constexpr int64_t WireMicroseconds(uint32_t characters, uint32_t baud, uint8_t dataBits, uint8_t parity,
                                   uint8_t stopBitsCode) {
  if (baud == 0) return 0;
  const uint64_t halfBits = uint64_t{characters} * CharacterHalfBits(dataBits, parity, stopBitsCode);
  return static_cast<int64_t>((halfBits * 500000u + baud - 1) / baud);
}
