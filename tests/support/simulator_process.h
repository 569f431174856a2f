// tovek-sim as a separate process on a pseudo-terminal of its own, with its
// statistics kept in a file of the working directory, and, when a trace
// file is named, every request and reply it saw traced there (added to what
// the file holds: a simulator started again goes on with it).
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "support/build_programs.h"

struct SimulatorProcess {
  ChildProcess process;
  std::string port;
  std::string statsFile = "sim-stats.txt";
  std::string traceFile;

  bool Start(std::vector<std::string> arguments) {
    arguments.push_back("--stats-file");
    arguments.push_back(statsFile);
    std::string error;
    bool started = false;
    if (traceFile.empty()) {
      started = StartBuildProgram(&process, "tovek-sim", arguments, &error);
    } else {
      std::string command = "exec " + BuildProgramCommandLine("tovek-sim") + " -v";
      for (const std::string& argument : arguments) command += " '" + argument + "'";
      started = process.Start("/bin/sh", {"-c", command + " 2>>" + traceFile}, &error);
    }
    return started && process.ReadLine(&port, 10000);
  }

  // How many lines of the trace hold `text` ("station 7: write S point = 5").
  int Traced(const std::string& text) const {
    std::ifstream in(traceFile);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos;
    return count;
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
