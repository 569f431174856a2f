#include "protocol/frame.h"

char UpcaseChar(char c) {
  // Read as a signed byte: 97 ("a") and above, up to 127.
  if (static_cast<signed char>(c) >= 97) return static_cast<char>(c - 32);
  return c;
}

uint16_t ParseHexDigits(const char* text, uint8_t n) {
  uint16_t value = 0;
  for (uint8_t i = 0; i < n; ++i) {
    const auto c = static_cast<uint8_t>(UpcaseChar(text[i]));
    auto digit = static_cast<uint8_t>(c - '0');
    if (digit > 9) digit = static_cast<uint8_t>(c - ('A' - 10));
    value = static_cast<uint16_t>(value * 16 + digit);
  }
  return value;
}

bool AreHexDigits(const char* text, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const char c = text[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) return false;
  }
  return true;
}

uint8_t FrameChecksum(const char* text, uint8_t n) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + ParseHexDigits(text + 2 * i, 2));
  return static_cast<uint8_t>(0x100 - sum);
}

FrameWriter StartFrame(char* frame, uint8_t bodyBytes) {
  FrameWriter writer{frame, 0, bodyBytes};
  frame[writer.length++] = kFrameStart;
  PutDecimal(&writer, bodyBytes, 2);
  return writer;
}

void PutDecimal(FrameWriter* writer, uint32_t value, uint32_t digits) {
  char reversed[10];  // a 32-bit value has at most 10 digits
  uint32_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  // The first `digits` characters of the zero-padded text.
  const uint32_t width = count > digits ? count : digits;
  for (uint32_t i = 0; i < digits; ++i) {
    const uint32_t fromRight = width - 1 - i;
    writer->frame[writer->length++] = fromRight < count ? reversed[fromRight] : '0';
  }
}

void PutText(FrameWriter* writer, const char* text) {
  while (*text != '\0') writer->frame[writer->length++] = *text++;
}

uint32_t FinishFrame(FrameWriter* writer) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const uint8_t checksum = FrameChecksum(writer->frame + kFrameBodyStart, writer->bodyBytes);
  writer->frame[writer->length++] = kHexDigits[checksum >> 4];
  writer->frame[writer->length++] = kHexDigits[checksum & 0x0F];
  PutText(writer, kFrameEnd);
  return writer->length;
}
