// A simulated TOVEK controller: takes request frames, gives reply frames,
// as a controller on a multi-drop RS-485 line does. Several controllers may
// share one line (a ControllerBus); a frame for a station that is not on
// the line, or a damaged frame, gets no reply.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Fault {
  None,
  NoReply,
  ShortReply,       // the first half of the reply, then silence
  StatusError,      // status character "1"
  BadChecksum,      // the checksum off by one
  WrongBlockCount,  // a block reply with one value more than configured
  StrayBytes,       // junk on the line before the reply
  Delay,            // the reply after ControllerBus::faultDelayMicroseconds
  Noise,            // random bytes at random moments before, inside and after the reply
  Echo,             // the line repeats the request, whole or cut, ahead of the reply
};

constexpr int kFaultKinds = 10;

const char* FaultName(Fault fault);
// What the fault does to a reply, in a few words for a help text.
const char* FaultDescription(Fault fault);
bool ParseFaultName(std::string_view name, Fault* fault);

// What the line does to the characters of one piece: damaged ones (by
// position), and an overrun just before one of them.
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
  LineFlaws flaws;      // what the line does to the bytes (simulated line only)
};

// A request frame, checked: start, count, length, checksum, CR LF.
struct DecodedRequest {
  uint8_t command = 0;
  uint16_t station = 0;
  std::vector<uint8_t> body;  // body bytes, command first
};

bool DecodeRequest(std::string_view frame, DecodedRequest* request);

// Line noise: a burst of 1 to 8 bytes, mostly ":", CR, LF and hex digits.
std::string NoiseBurst(std::mt19937& random);
// A reply among noise: bursts before it, inside it or after it (at least
// one of the three), each at a random moment.
std::vector<LinePiece> AmongNoise(const std::string& reply, uint64_t lateMicroseconds, std::mt19937& random);

// A reply frame for the given body bytes, checksum included.
std::string EncodeFrame(const std::vector<uint8_t>& body);

// Frame text for a trace: control characters shown as <CR>, <LF>, <0A>.
std::string PrintableFrame(std::string_view frame);
// What a request asks, in words: "station 12: read point 005".
std::string DescribeRequest(std::string_view frame);

class TovekController {
 public:
  explicit TovekController(uint16_t station) : station_(station) {}
  uint16_t station() const { return station_; }

  // The reply to a request addressed to this controller, with a fault
  // applied; empty for a command the controller does not know.
  std::string Answer(const DecodedRequest& request, Fault fault = Fault::None);

  // Every value one step on: the S point through 0-9, the others through
  // 0-255, as a live plant's values move.
  void Drift();

  uint8_t sPoint = 0;
  std::array<uint8_t, 1000> points{};
  std::vector<uint8_t> block;  // the values a block read answers with

 private:
  uint16_t station_;
};

// One exchange as the bus saw it.
struct BusExchange {
  std::string request;
  std::string reply;              // the controller's reply as it framed it, fault applied; empty for none
  std::vector<LinePiece> pieces;  // what goes on the line: the reply, late or among noise
  uint16_t station = 0;
  uint8_t command = 0;
  Fault fault = Fault::None;

  uint64_t LateMicroseconds() const { return pieces.empty() ? 0 : pieces.front().gapMicroseconds; }
};

// What went back for one exchange, in words: "status ok, value 17", with
// the fault and how late the reply was.
std::string DescribeAnswer(const BusExchange& exchange);

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
  // The noise of the `noise` fault is drawn from a generator of its own, so
  // that the fault sequence depends on the seed alone.
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
