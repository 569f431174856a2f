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

// Of `waiting` received bytes counted at `countedAt` (microseconds), those
// that came before the frame sent at `sentAt` could have left the wire at
// `wireEnd`: none of them can answer it. The ones that could have come
// after `wireEnd` (the count came that much later) may be a quick
// controller's reply, and are not counted. A frame out of the transmitter
// sooner than its wire time took no time on any wire (an emulated UART):
// then nothing is known to be stale.
constexpr uint32_t StaleBytes(uint32_t waiting, int64_t countedAt, int64_t wireEnd, uint32_t characterNs) {
  if (characterNs == 0) return 0;
  const int64_t characterUs = (characterNs + 999) / 1000;
  if (countedAt + characterUs < wireEnd) return 0;
  const int64_t late = countedAt > wireEnd ? (countedAt - wireEnd + characterUs - 1) / characterUs : 0;
  return static_cast<int64_t>(waiting) > late ? waiting - static_cast<uint32_t>(late) : 0;
}
