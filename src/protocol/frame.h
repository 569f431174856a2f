// The controller's frames: printable ASCII, one layout for requests and
// replies.
//
//   ":"  count (2 hex digits: L)  body (L bytes, 2 characters each)
//        checksum (2 upper-case hex digits)  CR LF          = 2L + 7 characters
//
// The first body byte is the command. Most fields are written as decimal
// digits but the checksum reads every character pair as a hexadecimal byte,
// so decimal fields travel as packed BCD ("0012" is the bytes 0x00 0x12).
// The checksum is the two's complement of the 8-bit sum of the body bytes;
// it covers neither the ":", nor the count, nor CR LF.
#pragma once

#include <cstdint>

// Upper-cases the bytes 97 to 127 ("a" to "z" and "{|}~" DEL) by taking 32
// off; every other byte, including 128 to 255, is returned unchanged. No
// locale is consulted.
char UpcaseChar(char c);

// Reads n characters as hexadecimal digits, most significant first, kept to
// 16 bits. No character is refused: one outside 0-9, A-F (after UpcaseChar)
// adds whatever digit value the arithmetic gives ("G" is 16, a blank 233).
// Replies are checked with AreHexDigits before they are read.
uint16_t ParseHexDigits(const char* text, uint8_t n);

// True when all n characters are hexadecimal digits, in either case. Every
// character between a reply's ":" and CR LF must be one: no value outside
// one byte reaches the host, and a stray character cannot pass for a reply.
bool AreHexDigits(const char* text, uint32_t n);

// Checksum of n body bytes written as 2n characters from `text`.
uint8_t FrameChecksum(const char* text, uint8_t n);

constexpr uint32_t FrameLength(uint32_t bodyBytes) { return 2 * bodyBytes + 7; }

// The characters that open and close every frame, and the position of its
// first body character.
constexpr char kFrameStart = ':';
constexpr char kFrameEnd[] = "\r\n";
constexpr uint32_t kFrameBodyStart = 3;

// Builds a request frame in place: StartFrame, the body's fields in order,
// then FinishFrame, which appends the checksum over the finished body and
// CR LF.
struct FrameWriter {
  char* frame;
  uint32_t length;
  uint8_t bodyBytes;
};

FrameWriter StartFrame(char* frame, uint8_t bodyBytes);

// Writes `value` as at least `digits` decimal digits, zero-padded ("%.Nd"),
// and keeps only the leading `digits` of a wider number: the next field
// would overwrite the rest.
void PutDecimal(FrameWriter* writer, uint32_t value, uint32_t digits);
void PutText(FrameWriter* writer, const char* text);

// Returns the frame's length, 2L + 7.
uint32_t FinishFrame(FrameWriter* writer);
