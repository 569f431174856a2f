// What qvotk monitor prints: a line for each exchange it heard, or for
// what it heard outside one, and a summary per station when it ends; as
// text for people, or as JSON lines for scripts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "line_watch/frames.h"

// What one station's exchanges came to.
struct StationTally {
  uint64_t exchanges = 0, noAnswer = 0, badChecksum = 0, suspect = 0, echoes = 0, unframed = 0,
           noiseBytes = 0;
  std::vector<double> latenciesMs;
};

// An exchange, or what was heard outside one.
struct HeardLine {
  int64_t at = 0;                                     // microseconds since 1970
  int station = -1;                                   // -1: not known
  const line_watch::FrameMeaning* request = nullptr;  // the request waiting for its reply, if one was
  const line_watch::FrameMeaning* reply = nullptr;
  const char* verdict = "";
  double latencyMs = -1;               // < 0: none
  const std::string* bytes = nullptr;  // what was heard, when it was no frame
};

// Time, station, command, point, value, status, checksum verdict and latency.
void PrintHeard(const HeardLine& heard, bool json);

// Each station's tally; "unknown" holds what came while no request waited.
void PrintStationSummary(const std::map<int, StationTally>& tallies, bool json);
