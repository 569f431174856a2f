// tovek-sim as a separate process on a pseudo-terminal of its own.
#pragma once

#include <string>
#include <vector>

#include "common/child_process.h"

struct SimulatorProcess {
  ChildProcess process;
  std::string port;

  bool Start(const std::vector<std::string>& arguments) {
    std::string error;
    return process.Start(std::string(QVO_BIN_DIR) + "/tovek-sim", arguments, &error) &&
           process.ReadLine(&port, 10000);
  }
};
