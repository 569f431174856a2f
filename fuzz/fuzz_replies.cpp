// Whatever arrives on the line after a request: each request made through
// QvoMain is answered with the next piece of the input (a length byte, then
// that many bytes). A value is stored only when its reply passed the checks
// the protocol names, and never beyond the host's count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "protocol/frame.h"

namespace {

constexpr uint16_t kCanary = 0xA5A5;
constexpr size_t kArray = 300;

enum Request { kReadS, kReadPoint, kWriteS, kWritePoint, kBlock, kRequestKinds };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto kind = static_cast<Request>(data[0] % kRequestKinds);
  const int32_t count = data[1];
  size_t at = 2;

  sim::SimDevice& device = FreshLine();
  std::vector<std::string> replies;
  device.responder = [&](sim::SimDevice& line, std::string_view) {
    if (at >= size) return;
    const size_t wanted = data[at++];
    const size_t length = std::min(wanted, size - at);
    replies.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
    line.Deliver(replies.back());
  };
  QvoChannel channel;
  FUZZ_CHECK(OpenChannelOnCom1(&channel));

  uint16_t values[kArray];
  for (auto& v : values) v = kCanary;
  if (kind == kWriteS) values[1] = 3;
  if (kind == kWritePoint) values[1] = 2;
  const uint32_t opcode = kind == kBlock ? 6 : (kind == kWriteS || kind == kWritePoint ? 7 : 5);
  const uint32_t pointKind = kind == kReadS || kind == kWriteS ? 0 : 1;
  const QvoStatus status = SendTransfer(&channel, opcode, pointKind, kind == kBlock ? 1 : 5, count, values);
  FUZZ_CHECK(status >= 0 && status <= 2);
  FUZZ_CHECK(device.writes.size() <= 10);

  // The reply that made a request succeed is the start of the last piece:
  // what was left of earlier pieces is drained before each request.
  const std::string last = replies.empty() ? std::string() : replies.back();
  if (kind == kReadS || kind == kReadPoint) {
    for (size_t i = 0; i < kArray; ++i) {
      if (i != 1) FUZZ_CHECK(values[i] == kCanary);
    }
    if (status != kStatusOk) {
      FUZZ_CHECK(values[1] == kCanary);
    } else if (kind == kReadS) {
      FUZZ_CHECK(last.size() >= 21 && last[4] == '0');
      FUZZ_CHECK(values[1] == ParseHexDigits(last.data() + 13, 2));
    } else {
      FUZZ_CHECK(last.size() >= 23 && last[4] == '0');
      FUZZ_CHECK(FrameChecksum(last.data() + 3, 8) ==
                 static_cast<uint8_t>(ParseHexDigits(last.data() + 19, 2)));
      FUZZ_CHECK(values[1] == ParseHexDigits(last.data() + 15, 2));
    }
  } else if (kind == kWriteS || kind == kWritePoint) {
    for (size_t i = 0; i < kArray; ++i) FUZZ_CHECK(i == 1 || values[i] == kCanary);
    if (status == kStatusOk) FUZZ_CHECK(last[4] == '0');
  } else {
    for (size_t i = static_cast<size_t>(count); i < kArray; ++i) FUZZ_CHECK(values[i] == kCanary);
    if (status != kStatusOk) {
      for (size_t i = 0; i < kArray; ++i) FUZZ_CHECK(values[i] == kCanary);
    } else {
      const size_t n = static_cast<size_t>(count);
      FUZZ_CHECK(last.size() >= 3 + 2 * n + 4);
      FUZZ_CHECK(static_cast<uint8_t>(ParseHexDigits(last.data() + 1, 2)) == n);
      const char* rest = last.data() + 3;
      FUZZ_CHECK(FrameChecksum(rest, static_cast<uint8_t>(n)) ==
                 static_cast<uint8_t>(ParseHexDigits(rest + 2 * n, 2)));
      for (size_t i = 0; i < n; ++i) FUZZ_CHECK(values[i] == ParseHexDigits(rest + 2 * i, 2));
    }
  }
  return 0;
}
