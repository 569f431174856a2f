// Whatever the line brings after a request. Two requests of one kind run in
// turn on a line paced at 9600 baud; the input decides, frame by frame, how
// the line answers: the controller's reply or none, a refusal, a bad
// checksum, a cut or damaged reply, its first character late by up to
// three read time-outs, with any bytes before and after it. The first
// request's values lie in 0-127, the second's in 128-255.
//
// Properties, judged by an oracle of this file's own written from the frame
// rules (not the driver's parsing or checksum code):
// - a status of 0, 1 or 2, at most ten frames a request;
// - nothing written outside the host's count, nothing at all on failure,
//   no value above 255;
// - a value stored only from a framed reply on the line that passes every
//   check;
// - no value from a reply to the earlier request, wherever the line did not
//   itself forge a reply starting among the earlier request's bytes or
//   bring more than the wait reads.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sim_line/attach.h"

namespace {

constexpr uint16_t kCanary = 0xA5A5;
constexpr size_t kArray = 300;
constexpr uint32_t kTimeoutUnits = 10;  // 100 ms
constexpr uint64_t kCharacterMicroseconds = 1042;

enum Kind { kReadS, kReadPoint, kWriteS, kWritePoint, kBlock, kKinds };

// The frame rules. A byte is two characters, each read as a digit by its
// code: "a" to "z" (and the five bytes after them) count as upper case,
// "0" to "9" give 0 to 9, any other character its code less 55, all kept to
// eight bits. A reply is taken only when every character between its ":"
// and CR LF is a true hexadecimal digit.
unsigned RuleDigit(unsigned char c) {
  if (c >= 97 && c <= 127) c = static_cast<unsigned char>(c - 32);
  unsigned digit = (c - 48u) & 0xFF;
  if (digit > 9) digit = (c - 55u) & 0xFF;
  return digit;
}
uint8_t RuleByte(const char* text) {
  return static_cast<uint8_t>(RuleDigit(static_cast<unsigned char>(text[0])) * 16 +
                              RuleDigit(static_cast<unsigned char>(text[1])));
}
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int HexValue(const char* text) {
  if (!IsHex(text[0]) || !IsHex(text[1])) return -1;
  return static_cast<int>(std::strtol(std::string(text, 2).c_str(), nullptr, 16));
}
// Body bytes and the checksum byte after them sum to 0 mod 256.
bool ChecksumHolds(const char* body, size_t bytes) {
  unsigned sum = 0;
  for (size_t i = 0; i <= bytes; ++i) sum += RuleByte(body + 2 * i);
  return (sum & 0xFF) == 0;
}

size_t ReplyLength(Kind kind) {
  switch (kind) {
    case kReadS: return 21;
    case kReadPoint: return 23;
    case kWriteS: return 15;
    case kWritePoint: return 19;
    default: return 0;
  }
}

// The length of the reply that would count as an answer at `at`: a ":"
// with CR LF at the reply's length (for a block, of any count); 0 when
// there is none.
size_t AnswerAt(const std::string& text, size_t at, Kind kind) {
  const char* w = text.data() + at;
  const size_t left = text.size() - at;
  if (w[0] != ':' || left < 7) return 0;
  const size_t length = kind == kBlock ? 2 * RuleByte(w + 1) + 7 : ReplyLength(kind);
  if (left < length || w[length - 2] != '\r' || w[length - 1] != '\n') return 0;
  return length;
}

// The values of a reply that the driver may take from `text` at `at`:
// framed, hexadecimal digits only, status "0", checksum where verified.
// Empty when the window is no such reply.
bool TakeableAt(const std::string& text, size_t at, Kind kind, size_t blockCount, std::vector<int>* values) {
  values->clear();
  const size_t length = AnswerAt(text, at, kind);
  if (length == 0) return false;
  const char* w = text.data() + at;
  for (size_t i = 1; i + 2 < length; ++i) {
    if (!IsHex(w[i])) return false;
  }
  if (kind == kBlock) {
    const size_t n = RuleByte(w + 1);
    if (n != (blockCount & 0xFF) || !ChecksumHolds(w + 3, n)) return false;
    for (size_t i = 0; i < n; ++i) {
      const int v = HexValue(w + 3 + 2 * i);
      if (v < 0) return false;
      values->push_back(v);
    }
    return true;
  }
  if (w[4] != '0') return false;
  if (kind == kReadPoint && !ChecksumHolds(w + 3, 8)) return false;
  if (kind == kReadS || kind == kReadPoint) {
    const int v = HexValue(w + (kind == kReadS ? 13 : 15));
    if (v < 0) return false;
    values->push_back(v);
  }
  return true;
}

// A stretch of the line's bytes, and which of them are a reply just as the
// controller sent it.
struct LineRecord {
  std::string bytes;
  std::vector<size_t> genuineStarts;
  std::vector<size_t> genuineLengths;

  bool IsGenuine(size_t at, size_t length) const {
    for (size_t i = 0; i < genuineStarts.size(); ++i) {
      if (genuineStarts[i] == at && genuineLengths[i] == length) return true;
    }
    return false;
  }
};

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::string Bytes(size_t n) {
    n = std::min(n, size - std::min(at, size));
    std::string s(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return s;
  }
};

struct Rig {
  explicit Rig(Input in) : input(in) {}
  Input input;
  sim::ControllerBus bus;
  sim::TovekController* controller = nullptr;
  sim::SimDevice* device = nullptr;
  LineRecord* record = nullptr;  // of the request under way
  int frames = 0;

  // The line's answer to one frame, as the next bytes of the input say.
  void Answer(std::string_view frame) {
    ++frames;
    sim::DecodedRequest request;
    if (!sim::DecodeRequest(frame, &request)) return;
    const bool exhausted = input.at >= input.size;
    const uint8_t how = input.Byte();
    const uint8_t late = input.Byte();
    const std::string before = input.Bytes(input.Byte() % 48);
    const std::string after = input.Bytes(input.Byte() % 48);
    const sim::Fault fault = (how & 2)   ? sim::Fault::StatusError
                             : (how & 4) ? sim::Fault::BadChecksum
                                         : sim::Fault::None;
    std::string reply = (exhausted || (how & 1) == 0) ? controller->Answer(request, fault) : std::string();
    bool genuine = fault == sim::Fault::None && !reply.empty();
    switch ((how >> 3) & 3) {
      case 1:
        reply.resize(reply.size() / 2);
        genuine = false;
        break;
      case 2:
        if (reply.size() > 2) reply.replace(reply.size() - 2, 2, "##");
        genuine = false;
        break;
      case 3:
        if (reply.size() > 14) reply[13] = 'G';
        genuine = false;
        break;
    }
    // At most so late that the first character lands three read time-outs
    // after the frame: the request waits that long for it. Later, the line
    // has been silent as long as the wait lasts, and the reply may cross.
    const uint64_t lateMicroseconds = late * (3 * kTimeoutUnits * 10000ull - kCharacterMicroseconds) / 255;
    std::vector<sim::LinePiece> pieces;
    if (!before.empty()) pieces.push_back({lateMicroseconds, before, true});
    if (!reply.empty()) pieces.push_back({pieces.empty() ? lateMicroseconds : 0, reply, false});
    if (!after.empty()) pieces.push_back({pieces.empty() ? lateMicroseconds : 0, after, true});
    sim::DeliverPieces(*device, pieces);
    for (const sim::LinePiece& piece : pieces) {
      if (!piece.isNoise && genuine) {
        record->genuineStarts.push_back(record->bytes.size());
        record->genuineLengths.push_back(piece.bytes.size());
      }
      record->bytes += piece.bytes;
    }
  }
};

// True when a window starting among the first `starts` bytes of `line`
// would count as an answer though no controller sent it whole: the line
// forged it.
bool LineForged(const LineRecord& line, size_t starts, Kind kind) {
  for (size_t at = 0; at < starts && at < line.bytes.size(); ++at) {
    const size_t length = AnswerAt(line.bytes, at, kind);
    if (length != 0 && !line.IsGenuine(at, length)) return true;
  }
  return false;
}

// Both requests' bytes, in the order they reached the line.
LineRecord Joined(const LineRecord& first, const LineRecord& second) {
  LineRecord both = first;
  for (size_t i = 0; i < second.genuineStarts.size(); ++i) {
    both.genuineStarts.push_back(first.bytes.size() + second.genuineStarts[i]);
    both.genuineLengths.push_back(second.genuineLengths[i]);
  }
  both.bytes += second.bytes;
  return both;
}

// True when `stored` is the values of a takeable reply somewhere in `text`.
bool Explained(const std::string& text, Kind kind, size_t blockCount, const std::vector<int>& stored) {
  std::vector<int> values;
  for (size_t at = 0; at < text.size(); ++at) {
    if (TakeableAt(text, at, kind, blockCount, &values) && values == stored) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Rig rig(Input{data, size, 2});
  const auto kind = static_cast<Kind>(data[0] % kKinds);
  const size_t blockCount = data[1];

  rig.device = &FreshLine();
  rig.device->microsecondsPerCharacter = kCharacterMicroseconds;
  rig.device->keepWrites = false;
  rig.controller = &rig.bus.Add(1);
  rig.device->responder = [&rig](sim::SimDevice&, std::string_view frame) { rig.Answer(frame); };
  QvoChannel channel;
  std::memset(&channel, 0, sizeof channel);
  FUZZ_CHECK(OpenChannelOn(&channel, "COM1", 1, kTimeoutUnits) == QVO_STATUS_OK);

  LineRecord lines[2];
  std::vector<int> stored[2];
  QvoStatus statuses[2];
  for (int r = 0; r < 2; ++r) {
    // The controller's values for this request: 0-127 first, 128-255 then.
    const int base = r == 0 ? 0 : 128;
    rig.controller->sPoint = static_cast<uint8_t>(base + 0x11);
    rig.controller->points[5] = static_cast<uint8_t>(base + 0x22);
    rig.controller->block.resize(blockCount);
    for (size_t i = 0; i < blockCount; ++i)
      rig.controller->block[i] = static_cast<uint8_t>(base + (i & 0x7F));
    rig.record = &lines[r];
    rig.frames = 0;

    uint16_t values[kArray];
    for (auto& v : values) v = kCanary;
    const uint32_t opcode =
        kind == kBlock ? QVO_OP_READ_BLOCK
                       : (kind == kWriteS || kind == kWritePoint ? QVO_OP_WRITE_VALUE : QVO_OP_READ_VALUE);
    const uint32_t pointKind = kind == kReadS || kind == kWriteS ? QVO_POINT_S : QVO_POINT_NUMBERED;
    if (kind == kWriteS) values[1] = 3;
    if (kind == kWritePoint) values[1] = 2;
    const QvoStatus status = SendTransfer(&channel, opcode, pointKind, kind == kBlock ? 1 : 5,
                                          static_cast<int32_t>(blockCount), values);
    statuses[r] = status;
    FUZZ_CHECK(status >= 0 && status <= 2);
    FUZZ_CHECK(rig.frames <= 10);

    const bool reads = kind == kReadS || kind == kReadPoint;
    for (size_t i = 0; i < kArray; ++i) {
      const bool mayHold = status == QVO_STATUS_OK && (kind == kBlock ? i < blockCount : reads && i == 1);
      const bool hostsOwn = (kind == kWriteS || kind == kWritePoint) && i == 1;
      if (!mayHold && !hostsOwn) FUZZ_CHECK(values[i] == kCanary);
      if (mayHold) FUZZ_CHECK(values[i] <= 255);
    }
    if (status != QVO_STATUS_OK) continue;
    if (kind == kBlock) {
      for (size_t i = 0; i < blockCount; ++i) stored[r].push_back(values[i]);
    } else if (reads) {
      stored[r].push_back(values[1]);
    }
    // What the driver took came off the line, and passed every check.
    FUZZ_CHECK(Explained(lines[0].bytes + lines[1].bytes, kind, blockCount, stored[r]));
  }

  // The second request took its values from what the line brought in
  // answer to its own frames, never from a reply to the first: unless the
  // line forged a window that starts among the first request's bytes, or
  // brought more than the wait reads. Where the second request's own bytes
  // hold no forged window, this is a reply of its own, values 128-255.
  const LineRecord both = Joined(lines[0], lines[1]);
  if (statuses[1] == QVO_STATUS_OK && !LineForged(both, lines[0].bytes.size(), kind) &&
      lines[0].bytes.size() < 1000) {
    FUZZ_CHECK(Explained(lines[1].bytes, kind, blockCount, stored[1]));
    if (!LineForged(lines[1], lines[1].bytes.size(), kind)) {
      for (int v : stored[1]) FUZZ_CHECK(v >= 128);
    }
  }
  return 0;
}
