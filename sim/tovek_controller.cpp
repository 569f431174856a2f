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
  }
  return "?";
}

bool ParseFaultName(std::string_view name, Fault* fault) {
  for (Fault f : {Fault::None, Fault::NoReply, Fault::ShortReply, Fault::StatusError, Fault::BadChecksum,
                  Fault::WrongBlockCount, Fault::StrayBytes, Fault::Delay}) {
    if (name == FaultName(f)) {
      *fault = f;
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

void ControllerBus::SetRandomFaults(double probability, std::vector<Fault> kinds, uint32_t seed) {
  faultProbability_ = probability;
  faultKinds_ = std::move(kinds);
  random_.seed(seed);
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
    exchange.delayMicroseconds = turnaroundMicroseconds;
    if (exchange.fault == Fault::Delay) exchange.delayMicroseconds += faultDelayMicroseconds;
    if (exchange.fault != Fault::NoReply) exchange.reply = controller->Answer(request, exchange.fault);
    if (exchange.fault != Fault::None) ++statistics_.faults;
    ++statistics_.byFault[static_cast<size_t>(exchange.fault)];
    ++statistics_.answered;
    exchanges.push_back(exchange);
  }
  return exchanges;
}

}  // namespace sim
