// The controller's side of the frame rules: requests decoded and checked,
// replies encoded. Written apart from the driver's codec on purpose, with
// constants of its own: each side checks the other, so a mistake in one
// shows against the other instead of agreeing with itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Command bytes and codes as the controller knows them.
constexpr uint8_t kCommandWriteSPoint = 0x05;
constexpr uint8_t kCommandBlock = 0x06;
constexpr uint8_t kCommandSPoint = 0x08;
constexpr uint8_t kCommandPoint = 0x09;
constexpr uint8_t kCodeRead = 0x66;
constexpr uint8_t kCodeReadSPoint = 0x68;
constexpr uint8_t kCodeWrite1 = 0x71;
constexpr uint8_t kCodeWrite2 = 0x72;

// A request frame, checked: start, count, length, checksum, CR LF.
struct DecodedRequest {
  uint8_t command = 0;
  uint16_t station = 0;
  std::vector<uint8_t> body;  // body bytes, command first
};

bool DecodeRequest(std::string_view frame, DecodedRequest* request);

// A reply frame for the given body bytes, checksum included.
std::string EncodeFrame(const std::vector<uint8_t>& body);

// The two's complement of the body bytes' sum.
uint8_t Checksum(const std::vector<uint8_t>& body);
// A hexadecimal digit's value, or -1.
int HexValue(char c);
// A byte's two decimal digits as packed BCD ("12" as 0x12), or -1.
int DecimalOfBcd(uint8_t byte);
// The point number a request carries: three BCD digits and a trailing zero
// in its body bytes 4 and 5; -1 when they are no such number.
int PointNumberOf(const std::vector<uint8_t>& body);
// The byte at `position` of a frame's text, or -1.
int ByteAt(std::string_view frame, size_t position);

}  // namespace sim
