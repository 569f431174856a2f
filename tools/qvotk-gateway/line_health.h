// Whether a line keeps up with its configuration: what its points ask of
// the wire, worked out from the configuration alone, and what the line
// achieves, judged window by window as it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "config.h"
#include "log.h"

namespace gateway {

// The share of the wire a line's points ask for: the characters of each
// request and reply, at the line's bits per character and baud, as often
// as each point's interval. Above 1 no line can read them at their rate,
// however quick the controllers answer.
double WireLoad(const LineConfig& line);

// A line read below this share of its configured rate for a whole window
// is unhealthy.
constexpr double kHealthyShare = 0.8;

class LineHealth {
 public:
  struct Change {
    Level level;
    std::string text;
  };

  // Starts a window, forgetting the last: at an open, and when the points change.
  void Restart(int64_t nowUs);
  // A request ended, after `busyUs` on the line; a poll of a station online
  // counts toward the rate.
  void Note(int64_t busyUs, bool countedPoll);
  // Once a window of `windowS` has passed, judges it against `wantedPerS`
  // reads of `points` points, and starts the next: the text to log when the
  // line became unhealthy, or healthy again.
  std::optional<Change> Judge(int64_t nowUs, int windowS, double wantedPerS, size_t points);
  // The share of the last whole window the line was busy.
  double busyRatio() const { return busyRatio_; }

 private:
  int64_t startUs_ = 0;
  int64_t busyUs_ = 0;
  uint64_t requests_ = 0;
  uint64_t polls_ = 0;
  bool healthy_ = true;
  std::atomic<double> busyRatio_{0};
};

}  // namespace gateway
