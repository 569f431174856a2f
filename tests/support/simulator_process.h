// tovek-sim as a separate process on a pseudo-terminal of its own, with its
// statistics kept in a file of the working directory.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "support/build_programs.h"

struct SimulatorProcess {
  ChildProcess process;
  std::string port;
  std::string statsFile = "sim-stats.txt";

  bool Start(std::vector<std::string> arguments) {
    arguments.push_back("--stats-file");
    arguments.push_back(statsFile);
    std::string error;
    return StartBuildProgram(&process, "tovek-sim", arguments, &error) && process.ReadLine(&port, 10000);
  }

  // Stops the simulator; how many frames it saw, or -1.
  long Frames() {
    process.Stop();
    std::ifstream in(statsFile);
    std::string key;
    long value = -1;
    while (in >> key >> value) {
      if (key == "frames") return value;
    }
    return -1;
  }
};
