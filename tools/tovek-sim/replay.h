// Answers from a capture of a real line: for each request, what followed
// the same request in the capture, piece by piece at the moments it came,
// so that a reply that was late stays late. A capture from a plant becomes
// a case on the desk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/controller_bus.h"

class ReplayAnswers {
 public:
  // Reads the capture; false with the reason when it is none. `baud` is
  // the line's pace (0 unpaced), to tell when each piece began to come.
  bool Load(const std::string& path, unsigned baud, std::string* error);

  // The pieces that followed `request` at its next turn in the capture;
  // once its turns are used up, those of its last. `known` is false for a
  // request the capture never held: then there is no answer.
  std::vector<sim::LinePiece> Answer(const std::string& request, bool* known);

  uint64_t answered() const { return answered_; }
  uint64_t unknown() const { return unknown_; }

 private:
  struct Turns {
    std::vector<std::vector<sim::LinePiece>> answers;  // in capture order
    size_t next = 0;
  };
  std::map<std::string, Turns> byRequest_;
  size_t heldRequests_ = 0;
  uint64_t answered_ = 0;
  uint64_t unknown_ = 0;
};
