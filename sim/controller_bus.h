// A multi-drop line of simulated controllers, and what the line does to
// their replies: which fault meets which reply (a script, then a seeded
// draw), late replies, noise and the line's echo, as timed pieces. A frame
// for a station that is not on the line, or a damaged frame, gets no reply.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/controller.h"

namespace sim {

// What the line does to the characters of one piece: damaged ones (by
// position), and an overrun just before one of them. Only the simulated
// serial line of the tests carries them.
struct LineFlaws {
  std::vector<size_t> damaged;
  bool overrun = false;
  size_t overrunAt = 0;
};

// A stretch of what goes back on the line: `bytes`, starting
// `gapMicroseconds` after the previous piece ended (the first piece: after
// the request ended).
struct LinePiece {
  LinePiece() = default;
  LinePiece(uint64_t gap, std::string text, bool noise = false)
      : gapMicroseconds(gap), bytes(std::move(text)), isNoise(noise) {}

  uint64_t gapMicroseconds = 0;
  std::string bytes;
  bool isNoise = false;
  bool isEcho = false;  // the line's copy of the request
  LineFlaws flaws;
};

// Line noise: a burst of 1 to 8 bytes, mostly ":", CR, LF and hex digits.
std::string NoiseBurst(std::mt19937& random);
// A reply among noise: bursts before it, inside it or after it (at least
// one of the three), each at a random moment.
std::vector<LinePiece> AmongNoise(const std::string& reply, uint64_t lateMicroseconds, std::mt19937& random);

// One exchange as the bus saw it.
struct BusExchange {
  std::string request;
  std::string reply;              // the controller's reply as it framed it, fault applied; empty for none
  std::vector<LinePiece> pieces;  // what goes on the line: the reply, late, among noise, after its echo
  uint16_t station = 0;
  uint8_t command = 0;
  Fault fault = Fault::None;

  uint64_t LateMicroseconds() const;
};

struct BusStatistics {
  uint64_t frames = 0;    // complete frames seen on the line
  uint64_t answered = 0;  // frames some controller sent a reply to
  uint64_t ignored = 0;   // damaged, or for a station not on the line
  uint64_t faults = 0;    // replies with a fault injected
  std::array<uint64_t, kFaultKinds> byFault{};
};

class ControllerBus {
 public:
  // The reference stays valid as more controllers are added.
  TovekController& Add(uint16_t station);
  TovekController* Find(uint16_t station);
  // Moves every controller's values one step.
  void DriftAll();

  // Bytes as they arrive from the line; each complete frame (up to LF)
  // yields one exchange.
  std::vector<BusExchange> Feed(std::string_view bytes);

  // Faults: a script consumed one per addressed request, then at random.
  std::deque<Fault> scriptedFaults;
  // The noise of the `noise` fault, and which echoes are cut, are drawn
  // from a generator of their own, so that the fault sequence depends on
  // the seed alone.
  void SetRandomFaults(double probability, std::vector<Fault> kinds, uint32_t seed);
  uint64_t faultDelayMicroseconds = 200000;
  uint64_t turnaroundMicroseconds = 0;

  const BusStatistics& statistics() const { return statistics_; }

  // The fault for the next addressed request: the script first, then the
  // seeded draw. A second bus with the same seed draws the same sequence.
  Fault NextFault();

 private:
  std::deque<TovekController> controllers_;
  std::string pending_;
  double faultProbability_ = 0;
  std::vector<Fault> faultKinds_;
  std::mt19937 random_;
  std::mt19937 noiseRandom_;
  BusStatistics statistics_;
};

}  // namespace sim
