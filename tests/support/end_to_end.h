// What the end-to-end tests share: a working directory of the test's own,
// where the station files live, and tovek-sim's arguments built.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/simulator_process.h"
#include "support/temp_dir.h"
#include "support/tool_runs.h"

struct WorkingDirectoryTest : ::testing::Test {
  TemporaryWorkingDirectory workingDirectory;
};

// `arguments`, then `option value` `times` times: a fault script of one kind.
inline std::vector<std::string> WithRepeated(std::vector<std::string> arguments, const std::string& option,
                                             const std::string& value, int times) {
  for (int i = 0; i < times; ++i) {
    arguments.push_back(option);
    arguments.push_back(value);
  }
  return arguments;
}
