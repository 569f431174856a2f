#include "sim/controller_bus.h"

namespace sim {

uint64_t BusExchange::LateMicroseconds() const {
  for (const LinePiece& piece : pieces) {
    if (!piece.isEcho) return piece.gapMicroseconds;
  }
  return 0;
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
