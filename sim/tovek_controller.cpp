#include "sim/tovek_controller.h"

#include <cstdio>

namespace sim {

namespace {

// Replies put a status byte first: "00" is success, its second character is
// the status character the driver checks.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusError = 0x01;
const std::string_view kStrayBytes("\x00\x7F#stray#", 9);  // no ":" among them

constexpr uint8_t kCommandWriteSPoint = 0x05;
constexpr uint8_t kCommandBlock = 0x06;
constexpr uint8_t kCommandSPoint = 0x08;
constexpr uint8_t kCommandPoint = 0x09;
constexpr uint8_t kCodeRead = 0x66;
constexpr uint8_t kCodeReadSPoint = 0x68;
constexpr uint8_t kCodeWrite1 = 0x71;
constexpr uint8_t kCodeWrite2 = 0x72;

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

}  // namespace

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::None: return "none";
    case Fault::NoReply: return "no-reply";
    case Fault::ShortReply: return "short-reply";
    case Fault::StatusError: return "status-error";
    case Fault::BadChecksum: return "bad-checksum";
    case Fault::WrongBlockCount: return "wrong-block-count";
    case Fault::StrayBytes: return "stray-bytes";
    case Fault::Delay: return "delay";
    case Fault::Noise: return "noise";
    case Fault::Echo: return "echo";
  }
  return "?";
}

const char* FaultDescription(Fault fault) {
  switch (fault) {
    case Fault::None: return "the reply as it should be";
    case Fault::NoReply: return "the controller sends nothing";
    case Fault::ShortReply: return "the first half of the reply, then silence";
    case Fault::StatusError: return "the status character says \"1\": the controller refuses";
    case Fault::BadChecksum: return "the checksum byte off by one";
    case Fault::WrongBlockCount: return "a block reply with one value more than it should have";
    case Fault::StrayBytes: return "bytes without a \":\" on the line before the reply";
    case Fault::Delay: return "the reply comes --fault-delay-ms late";
    case Fault::Noise: return "bursts of frame-like bytes before, inside or after the reply";
    case Fault::Echo:
      return "the request heard back ahead of the reply, as a two-wire adapter hears itself; one in four cut";
  }
  return "?";
}

bool ParseFaultName(std::string_view name, Fault* fault) {
  for (int i = 0; i < kFaultKinds; ++i) {
    if (name == FaultName(static_cast<Fault>(i))) {
      *fault = static_cast<Fault>(i);
      return true;
    }
  }
  return false;
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

std::string PrintableFrame(std::string_view frame) {
  std::string out;
  for (unsigned char c : frame) {
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

// Decimal number of a point as its request carries it: three BCD digits
// and a trailing zero in two bytes.
int PointNumberOf(const std::vector<uint8_t>& body) {
  if (body.size() < 6) return -1;
  const int hundreds = DecimalOfBcd(body[4]);
  const int units = body[5] >> 4;
  return hundreds < 0 || units > 9 ? -1 : hundreds * 10 + units;
}

// The byte at `position` of a well-formed reply, or -1.
int ReplyByte(const std::string& reply, size_t position) {
  if (position + 1 >= reply.size()) return -1;
  const int high = HexValue(reply[position]), low = HexValue(reply[position + 1]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

std::string DescribeRequest(std::string_view frame) {
  DecodedRequest request;
  if (!DecodeRequest(frame, &request)) return "not a valid frame: ignored";
  const std::vector<uint8_t>& b = request.body;
  char text[128];
  const unsigned station = request.station;
  if (request.command == kCommandWriteSPoint && b.size() == 4) {
    std::snprintf(text, sizeof text, "station %u: write S point = %d", station, b[3] >> 4);
  } else if (request.command == kCommandBlock) {
    std::snprintf(text, sizeof text, "station %u: read block", station);
  } else if (request.command == kCommandSPoint) {
    std::snprintf(text, sizeof text, "station %u: read S point", station);
  } else if (request.command == kCommandPoint && b.size() == 6 && b[3] == kCodeRead) {
    std::snprintf(text, sizeof text, "station %u: read point %03d", station, PointNumberOf(b));
  } else if (request.command == kCommandPoint && b.size() == 6) {
    std::snprintf(text, sizeof text, "station %u: write point %03d = %d", station, PointNumberOf(b),
                  b[3] - 0x70);
  } else {
    std::snprintf(text, sizeof text, "station %u: unknown command %02X", station, request.command);
  }
  return text;
}

std::string DescribeAnswer(const BusExchange& exchange) {
  const std::string& reply = exchange.reply;
  std::string text;
  if (reply.empty()) {
    text = "no reply";
  } else if (exchange.fault == Fault::ShortReply) {
    text = "cut short";
  } else {
    const size_t start = reply.find(':');
    const std::string frame = start == std::string::npos ? reply : reply.substr(start);
    if (exchange.command == kCommandBlock) {
      text = std::to_string(ReplyByte(frame, 1)) + " values";
    } else if (frame.size() < 5 || frame[4] != '0') {
      text = "status error";
    } else {
      text = "status ok";
      if (exchange.command == kCommandSPoint) text += ", value " + std::to_string(ReplyByte(frame, 13));
      DecodedRequest request;
      if (exchange.command == kCommandPoint && DecodeRequest(exchange.request, &request) &&
          request.body[3] == kCodeRead) {
        text += ", value " + std::to_string(ReplyByte(frame, 15));
      }
    }
  }
  if (exchange.fault != Fault::None) text += std::string(" [fault: ") + FaultName(exchange.fault) + "]";
  return text;
}

void TovekController::Drift() {
  sPoint = static_cast<uint8_t>((sPoint + 1) % 10);
  for (uint8_t& value : points) ++value;
  for (uint8_t& value : block) ++value;
}

std::string TovekController::Answer(const DecodedRequest& request, Fault fault) {
  const uint8_t status = fault == Fault::StatusError ? kStatusError : kStatusOk;
  const std::vector<uint8_t>& in = request.body;
  const uint8_t a1 = in[1], a2 = in[2];
  std::vector<uint8_t> body;

  if (request.command == kCommandWriteSPoint && in.size() == 4) {
    // The value digit travels in the high nibble: "30" is 3.
    if (status == kStatusOk) sPoint = static_cast<uint8_t>(in[3] >> 4);
    body = {status, a1, a2, in[3]};
  } else if (request.command == kCommandSPoint && in.size() == 5 && in[3] == kCodeReadSPoint) {
    body = {status, a1, a2, kCodeReadSPoint, 0x00, sPoint, 0x00};
  } else if (request.command == kCommandPoint && in.size() == 6) {
    const int hundreds = DecimalOfBcd(in[4]);
    const int rest = in[5] >> 4;
    if (hundreds < 0 || rest > 9 || (in[5] & 0x0F) != 0) return {};
    const int number = hundreds * 10 + rest;
    if (in[3] == kCodeRead) {
      body = {status, a1, a2, kCodeRead, in[4], in[5], points[static_cast<size_t>(number)], 0x00};
    } else if (in[3] == kCodeWrite1 || in[3] == kCodeWrite2) {
      if (status == kStatusOk) points[static_cast<size_t>(number)] = static_cast<uint8_t>(in[3] - 0x70);
      body = {status, a1, a2, in[3], in[4], in[5]};
    } else {
      return {};
    }
  } else if (request.command == kCommandBlock && in.size() == 4 && in[3] == kCodeRead) {
    body = block;  // no status byte: the first body byte is the first value
    if (fault == Fault::WrongBlockCount) body.push_back(0x5A);
  } else {
    return {};
  }

  std::string reply = EncodeFrame(body);
  if (fault == Fault::BadChecksum) {
    // The checksum byte sits just before CR LF.
    const size_t at = reply.size() - 4;
    const int value = (HexValue(reply[at]) * 16 + HexValue(reply[at + 1]) + 1) & 0xFF;
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", value);
    reply[at] = hex[0];
    reply[at + 1] = hex[1];
  }
  if (fault == Fault::ShortReply) reply.resize(reply.size() / 2);
  if (fault == Fault::StrayBytes) reply = std::string(kStrayBytes) + reply;
  return reply;
}

TovekController& ControllerBus::Add(uint16_t station) {
  controllers_.emplace_back(station);
  return controllers_.back();
}

TovekController* ControllerBus::Find(uint16_t station) {
  for (auto& controller : controllers_) {
    if (controller.station() == station) return &controller;
  }
  return nullptr;
}

void ControllerBus::DriftAll() {
  for (auto& controller : controllers_) controller.Drift();
}

void ControllerBus::SetRandomFaults(double probability, std::vector<Fault> kinds, uint32_t seed) {
  faultProbability_ = probability;
  faultKinds_ = std::move(kinds);
  random_.seed(seed);
  noiseRandom_.seed(seed ^ 0x9E3779B9u);
}

std::string NoiseBurst(std::mt19937& random) {
  // Mostly characters a frame is made of, so that noise looks like the
  // start, the end or the digits of a frame; now and then any byte.
  static constexpr char kFrameCharacters[] = ":::\r\r\n\n0123456789ABCDEFabcdef";
  std::uniform_int_distribution<int> length(1, 8), pick(0, sizeof kFrameCharacters - 2), anyByte(0, 255);
  std::string burst;
  for (int n = length(random); n > 0; --n) {
    burst += random() % 4 == 0 ? static_cast<char>(anyByte(random)) : kFrameCharacters[pick(random)];
  }
  return burst;
}

std::vector<LinePiece> AmongNoise(const std::string& reply, uint64_t lateMicroseconds, std::mt19937& random) {
  std::uniform_int_distribution<int> where(1, 7);  // bit 0 before, bit 1 inside, bit 2 after
  const int places = where(random);
  std::uniform_int_distribution<uint64_t> shortGap(0, 3000), longGap(0, 30000);
  std::vector<LinePiece> pieces;
  uint64_t gap = lateMicroseconds;
  if (places & 1) {
    pieces.push_back({gap, NoiseBurst(random), true});
    gap = shortGap(random);
  }
  if ((places & 2) && reply.size() > 1) {
    std::uniform_int_distribution<size_t> split(1, reply.size() - 1);
    const size_t at = split(random);
    pieces.push_back({gap, reply.substr(0, at), false});
    pieces.push_back({shortGap(random), NoiseBurst(random), true});
    pieces.push_back({shortGap(random), reply.substr(at), false});
  } else {
    pieces.push_back({gap, reply, false});
  }
  if (places & 4) pieces.push_back({longGap(random), NoiseBurst(random), true});
  return pieces;
}

Fault ControllerBus::NextFault() {
  if (!scriptedFaults.empty()) {
    const Fault fault = scriptedFaults.front();
    scriptedFaults.pop_front();
    return fault;
  }
  if (faultProbability_ <= 0 || faultKinds_.empty()) return Fault::None;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  if (chance(random_) >= faultProbability_) return Fault::None;
  std::uniform_int_distribution<size_t> pick(0, faultKinds_.size() - 1);
  return faultKinds_[pick(random_)];
}

std::vector<BusExchange> ControllerBus::Feed(std::string_view bytes) {
  std::vector<BusExchange> exchanges;
  for (char c : bytes) {
    pending_ += c;
    if (c != '\n') continue;
    // A frame starts at its last ':'; anything before it is line noise.
    const size_t start = pending_.rfind(':');
    const std::string frame = start == std::string::npos ? pending_ : pending_.substr(start);
    pending_.clear();
    ++statistics_.frames;

    BusExchange exchange;
    exchange.request = frame;
    DecodedRequest request;
    TovekController* controller = nullptr;
    if (DecodeRequest(frame, &request)) controller = Find(request.station);
    if (controller == nullptr) {
      ++statistics_.ignored;
      exchanges.push_back(exchange);
      continue;
    }
    exchange.station = request.station;
    exchange.command = request.command;
    exchange.fault = NextFault();
    if (exchange.fault != Fault::NoReply) exchange.reply = controller->Answer(request, exchange.fault);
    if (!exchange.reply.empty()) {
      const uint64_t late =
          turnaroundMicroseconds + (exchange.fault == Fault::Delay ? faultDelayMicroseconds : 0);
      if (exchange.fault == Fault::Noise) {
        exchange.pieces = AmongNoise(exchange.reply, late, noiseRandom_);
      } else {
        exchange.pieces.push_back({late, exchange.reply, false});
      }
      if (exchange.fault == Fault::Echo) {
        std::string echo = frame;
        if (noiseRandom_() % 4 == 0) echo.resize(1 + noiseRandom_() % (frame.size() - 1));
        LinePiece piece(0, echo, true);
        piece.isEcho = true;
        exchange.pieces.insert(exchange.pieces.begin(), piece);
      }
      ++statistics_.answered;
    }
    if (exchange.fault != Fault::None) ++statistics_.faults;
    ++statistics_.byFault[static_cast<size_t>(exchange.fault)];
    exchanges.push_back(exchange);
  }
  return exchanges;
}

}  // namespace sim
