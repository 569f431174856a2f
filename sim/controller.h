// A simulated TOVEK controller: takes request frames, gives reply frames,
// as a controller on a multi-drop RS-485 line does, and the faults its reply
// can carry.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/frame_codec.h"

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

class TovekController {
 public:
  explicit TovekController(uint16_t station) : station_(station) {}
  uint16_t station() const { return station_; }

  // The reply to a request addressed to this controller, with the faults
  // that change the reply itself applied; empty for a command the
  // controller does not know. Faults of the line (no reply, a delay,
  // noise, echo) are the bus's.
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

}  // namespace sim
