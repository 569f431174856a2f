// tovek-sim's command line: what the simulated line holds and how it
// misbehaves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvotk_host/host_facts.h"
#include "sim/controller_bus.h"

// The exit statuses are qvotk's: 64 for a usage error, 128 + the signal
// that ended it.
using qvotk_host::ExitStatusAfter;
using qvotk_host::kExitUsage;

// A value for one station, or for every station on the line (station -1).
struct StationValue {
  int station = -1;
  uint32_t point = 0;  // numbered points only
  uint8_t value = 0;
};

struct SimOptions {
  std::string device;              // serve this device instead of a new pseudo-terminal
  std::vector<uint32_t> stations;  // the controllers on the line
  std::vector<StationValue> sPoints;
  std::vector<StationValue> points;
  std::vector<uint8_t> block;  // a block read's values, when given
  bool blockGiven = false;
  int blockCount = 16;  // otherwise 1, 2, 3 ... this many
  uint32_t baud = 0;    // 0: unpaced
  double turnaroundMs = 0;
  double driftMs = 0;  // 0: values stay
  double faultRate = 0;
  std::vector<sim::Fault> faults;
  std::vector<sim::Fault> scriptedFaults;
  uint32_t seed = 1;
  double faultDelayMs = 200;
  bool verbose = false;
  std::string portFile;
  std::string link;
  std::string mirror;  // a second pseudo-terminal, linked here, hears both directions
  std::string replay;  // answer from this capture instead of the controllers
  std::string statsFile;
};

// Parses the command line into `options`. Returns -1 to go on serving, or
// the exit status: 0 after --help or --version, kExitUsage after a message
// that names the option at fault.
int ParseOptions(int argc, char** argv, SimOptions* options);
