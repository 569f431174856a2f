#include "sim/frame_codec.h"

#include <cstdio>

namespace sim {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int DecimalOfBcd(uint8_t byte) {
  const int high = byte >> 4, low = byte & 0x0F;
  return high > 9 || low > 9 ? -1 : high * 10 + low;
}

uint8_t Checksum(const std::vector<uint8_t>& body) {
  uint8_t sum = 0;
  for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(0x100 - sum);
}

bool DecodeRequest(std::string_view frame, DecodedRequest* request) {
  if (frame.size() < 7 || frame[0] != ':') return false;
  const int high = HexValue(frame[1]), low = HexValue(frame[2]);
  if (high < 0 || low < 0) return false;
  const size_t count = static_cast<size_t>(high * 16 + low);
  if (count < 3 || frame.size() != 2 * count + 7) return false;
  if (frame[2 * count + 5] != '\r' || frame[2 * count + 6] != '\n') return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i <= count; ++i) {  // the body and the checksum byte
    const int h = HexValue(frame[3 + 2 * i]), l = HexValue(frame[4 + 2 * i]);
    if (h < 0 || l < 0) return false;
    bytes.push_back(static_cast<uint8_t>(h * 16 + l));
  }
  const uint8_t checksum = bytes.back();
  bytes.pop_back();
  if (Checksum(bytes) != checksum) return false;
  const int thousands = DecimalOfBcd(bytes[1]), units = DecimalOfBcd(bytes[2]);
  if (thousands < 0 || units < 0) return false;
  request->command = bytes[0];
  request->station = static_cast<uint16_t>(thousands * 100 + units);
  request->body = std::move(bytes);
  return true;
}

std::string EncodeFrame(const std::vector<uint8_t>& body) {
  std::string frame = ":";
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(body.size() & 0xFF));
  frame += hex;
  for (uint8_t b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    frame += hex;
  }
  std::snprintf(hex, sizeof hex, "%02X", Checksum(body));
  frame += hex;
  frame += "\r\n";
  return frame;
}

int PointNumberOf(const std::vector<uint8_t>& body) {
  if (body.size() < 6) return -1;
  const int hundreds = DecimalOfBcd(body[4]);
  const int units = body[5] >> 4;
  return hundreds < 0 || units > 9 || (body[5] & 0x0F) != 0 ? -1 : hundreds * 10 + units;
}

int ByteAt(std::string_view frame, size_t position) {
  if (position + 1 >= frame.size()) return -1;
  const int high = HexValue(frame[position]), low = HexValue(frame[position + 1]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace sim
