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
};

const char* FaultName(Fault fault);
bool ParseFaultName(std::string_view name, Fault* fault);

// A request frame, checked: start, count, length, checksum, CR LF.
struct DecodedRequest {
  uint8_t command = 0;
  uint16_t station = 0;
  std::vector<uint8_t> body;  // body bytes, command first
};

bool DecodeRequest(std::string_view frame, DecodedRequest* request);

// A reply frame for the given body bytes, checksum included.
std::string EncodeFrame(const std::vector<uint8_t>& body);

class TovekController {
 public:
  explicit TovekController(uint16_t station) : station_(station) {}
  uint16_t station() const { return station_; }

  // The reply to a request addressed to this controller, with a fault
  // applied; empty for a command the controller does not know.
  std::string Answer(const DecodedRequest& request, Fault fault = Fault::None);

  uint8_t sPoint = 0;
  std::array<uint8_t, 1000> points{};
  std::vector<uint8_t> block;  // the values a block read answers with

 private:
  uint16_t station_;
};

// One exchange as the bus saw it.
struct BusExchange {
  std::string request;
  std::string reply;  // what goes back on the line, empty for none
  uint16_t station = 0;
  uint8_t command = 0;
  Fault fault = Fault::None;
  uint64_t delayMicroseconds = 0;
};

struct BusStatistics {
  uint64_t frames = 0;    // complete frames seen on the line
  uint64_t answered = 0;  // frames some controller answered
  uint64_t ignored = 0;   // damaged, or for a station not on the line
  uint64_t faults = 0;    // replies with a fault injected
  std::array<uint64_t, 8> byFault{};
};

class ControllerBus {
 public:
  // The reference stays valid as more controllers are added.
  TovekController& Add(uint16_t station);
  TovekController* Find(uint16_t station);

  // Bytes as they arrive from the line; each complete frame (up to LF)
  // yields one exchange.
  std::vector<BusExchange> Feed(std::string_view bytes);

  // Faults: a script consumed one per addressed request, then at random.
  std::deque<Fault> scriptedFaults;
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
  BusStatistics statistics_;
};

}  // namespace sim
