#include "line_watch/frames.h"

#include <cstdio>

#include "sim/frame_codec.h"

namespace line_watch {
namespace {

// A frame's characters beside its body: ":", the count's two digits, the
// checksum's two, CR LF. The body begins after the count.
constexpr size_t kFramingCharacters = 7;
constexpr size_t kBodyAt = 3;

// The frame's bytes between count and CR LF (body and checksum); false when
// it is not framed by the rules.
bool FrameBytes(const std::string& text, std::vector<uint8_t>* body, uint8_t* checksum) {
  if (text.size() < kFramingCharacters || text[0] != ':') return false;
  const int count = sim::ByteAt(text, 1);
  if (count < 0 || text.size() != 2 * static_cast<size_t>(count) + kFramingCharacters) return false;
  if (text[text.size() - 2] != '\r' || text.back() != '\n') return false;
  for (int i = 0; i <= count; ++i) {
    const int byte = sim::ByteAt(text, kBodyAt + 2 * static_cast<size_t>(i));
    if (byte < 0) return false;
    body->push_back(static_cast<uint8_t>(byte));
  }
  *checksum = body->back();
  body->pop_back();
  return true;
}

int StationOf(const std::vector<uint8_t>& body) {
  if (body.size() < 3) return -1;
  const int high = sim::DecimalOfBcd(body[1]), low = sim::DecimalOfBcd(body[2]);
  return high < 0 || low < 0 ? -1 : high * 100 + low;
}

}  // namespace

void FrameSplitter::Feed(const std::string& bytes, int64_t microseconds, std::vector<Frame>* frames) {
  std::string noise;
  auto endNoise = [&] {
    if (noise.empty()) return;
    frames->push_back({noise, false, true, microseconds});
    noise.clear();
  };
  for (char c : bytes) {
    if (c == ':') {
      endNoise();
      if (!pending_.empty())
        frames->push_back({pending_, false, false, microseconds});  // cut off by a new start
      pending_ = ":";
      continue;
    }
    if (pending_.empty()) {
      noise += c;
      continue;
    }
    pending_ += c;
    if (c == '\n' && pending_.size() >= 2 && pending_[pending_.size() - 2] == '\r') {
      frames->push_back({pending_, true, false, microseconds});
      pending_.clear();
    } else if (pending_.size() > kLongestFrame) {
      noise += pending_;
      pending_.clear();
    }
  }
  endNoise();
}

bool IsRequest(const std::string& text) {
  std::vector<uint8_t> body;
  uint8_t checksum = 0;
  if (!FrameBytes(text, &body, &checksum) || body.empty()) return false;
  switch (body[0]) {
    case sim::kCommandWriteSPoint: return body.size() == 4;
    case sim::kCommandBlock: return body.size() == 4;
    case sim::kCommandSPoint: return body.size() == 5;
    case sim::kCommandPoint: return body.size() == 6;
    default: return false;
  }
}

FrameMeaning ReadFrame(const std::string& text, bool request, Command asked) {
  FrameMeaning meaning;
  meaning.text = text;
  meaning.request = request;
  std::vector<uint8_t> body;
  uint8_t checksum = 0;
  if (!FrameBytes(text, &body, &checksum)) return meaning;
  meaning.framed = true;
  meaning.checksumOk = sim::Checksum(body) == checksum;
  if (request) {
    if (body.empty()) return meaning;
    meaning.command = static_cast<Command>(body[0]);
    meaning.station = StationOf(body);
    if (meaning.command == Command::WriteS && body.size() == 4) meaning.value = body[3] >> 4;
    if (meaning.command == Command::Point && body.size() == 6) {
      meaning.point = sim::PointNumberOf(body);
      if (body[3] == sim::kCodeWrite1 || body[3] == sim::kCodeWrite2) meaning.value = body[3] - 0x70;
    }
    return meaning;
  }
  if (asked == Command::Block) {
    meaning.command = Command::Block;
    meaning.values.assign(body.begin(), body.end());
    return meaning;
  }
  if (text.size() > 4) meaning.status = text[4];
  meaning.station = StationOf(body);
  // The reply's length tells which answer it is.
  switch (body.size()) {
    case 4:  // status, address, the value digit
      meaning.command = Command::WriteS;
      meaning.value = body[3] >> 4;
      break;
    case 6:  // status, address, code, point
      meaning.command = Command::Point;
      meaning.point = sim::PointNumberOf(body);
      break;
    case 7:  // status, address, 68, 00, value, 00
      meaning.command = Command::ReadS;
      meaning.value = body[5];
      break;
    case 8:  // status, address, 66, point, value, 00
      meaning.command = Command::Point;
      meaning.point = sim::PointNumberOf(body);
      meaning.value = body[6];
      break;
    default: break;
  }
  return meaning;
}

std::string CommandName(Command command) {
  switch (command) {
    case Command::WriteS: return "write S";
    case Command::Block: return "block";
    case Command::ReadS: return "read S";
    case Command::Point: return "point";
    case Command::None: break;
  }
  return "?";
}

std::string Describe(const FrameMeaning& meaning) {
  if (!meaning.framed) return "unframed";
  std::string text = meaning.request ? "request " : "reply ";
  text += CommandName(meaning.command);
  if (meaning.point >= 0) {
    char point[16];
    std::snprintf(point, sizeof point, " %03d", meaning.point);
    text += point;
  }
  if (meaning.station >= 0) text += " station " + std::to_string(meaning.station);
  if (meaning.value >= 0) text += (meaning.request ? " := " : " = ") + std::to_string(meaning.value);
  if (!meaning.values.empty()) text += ", " + std::to_string(meaning.values.size()) + " values";
  if (meaning.status != 0) text += meaning.status == '0' ? ", ok" : std::string(", status ") + meaning.status;
  if (!meaning.checksumOk) text += ", BAD CHECKSUM";
  return text;
}

}  // namespace line_watch
