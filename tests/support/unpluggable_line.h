// A serial line that can be pulled out and plugged in again: a socat pair
// of pseudo-terminals under fixed link names, with tovek-sim serving the
// far end (station 12, S point 5, or the stations given).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "support/simulator_process.h"
#include "support/tool_runs.h"

// A USB adapter that can be pulled out and plugged in again under the same
// name: a socat pair of pseudo-terminals that stops and starts again on the
// same links, tovek-sim on its far end.
struct UnpluggableLine {
  explicit UnpluggableLine(const std::string& folder,
                           std::vector<std::string> stations = {"--station", "12", "--s-point", "5"})
      : peer(folder + "/peer"), simulated(std::move(stations)) {
    std::snprintf(name, sizeof name, "/tmp/qv%04x", static_cast<unsigned>(getpid()) & 0xFFFF);
  }
  ~UnpluggableLine() { Pull(); }

  bool PlugIn() {
    socat = std::make_unique<ChildProcess>();
    sim = std::make_unique<SimulatorProcess>();
    std::string error;
    // socat says when both links stand: it starts its transfer loop.
    if (!socat->Start("/usr/bin/socat",
                      {"-d", "-d", "-lf", "/dev/stdout", std::string("pty,raw,echo=0,link=") + name,
                       "pty,raw,echo=0,link=" + peer},
                      &error))
      return false;
    std::string said;
    while (said.find("starting data transfer loop") == std::string::npos) {
      if (!socat->ReadLine(&said, 10000)) return false;
    }
    std::vector<std::string> arguments = {"--device", peer};
    arguments.insert(arguments.end(), simulated.begin(), simulated.end());
    sim->traceFile = traceFile;
    return sim->Start(arguments);
  }
  void Pull() {
    if (socat) socat->Stop();
  }

  char name[12];  // the driver's 11 characters
  std::string peer;
  std::unique_ptr<ChildProcess> socat;
  std::unique_ptr<SimulatorProcess> sim;
  std::vector<std::string> simulated;
  std::string traceFile;  // the simulator's, when set; kept across plug-ins
};
