// The build's programs run as a person or a script runs them: a command
// line through the shell, with what it printed and its exit status; or a
// child whose output the test reads as it comes. And the test's side of a
// run that ends on an event: waits with a generous bound, never a fixed
// sleep.
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/build_programs.h"

using Json = nlohmann::ordered_json;

// Runs a program of the build (or one given by its path) with `arguments`
// through the shell; its exit status, and what it printed.
inline int RunProgram(const std::string& program, const std::string& arguments, std::string* output,
                      bool withErrors = true) {
  const std::string path = program[0] == '/' ? program : BuildProgramCommandLine(program);
  const std::string command = path + " " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  output->clear();
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int RunTool(const std::string& arguments, std::string* output) {
  return RunProgram("qvotk", arguments, output);
}

// Runs the tool with --json, in `environment` ("NAME=value ...") when
// given; its exit status, and its standard output, which must be JSON
// lines and nothing else.
inline int RunToolJson(const std::string& arguments, std::vector<Json>* lines,
                       const std::string& environment = "") {
  const std::string tool = BuildProgramCommandLine("qvotk") + " --json " + arguments;
  std::string output;
  const int status = RunProgram("/usr/bin/env", environment + " " + tool, &output, false);
  lines->clear();
  std::istringstream text(output);
  for (std::string line; std::getline(text, line);) {
    Json value = Json::parse(line, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON: " << line;
    lines->push_back(value);
  }
  return status;
}

// Starts the tool as a child with its standard output on a pipe.
inline bool StartTool(ChildProcess* tool, const std::vector<std::string>& arguments) {
  std::string error;
  return StartBuildProgram(tool, "qvotk", arguments, &error);
}

// Waits until `happened`, looking every `every`, at most `bound`; whether
// it happened.
inline bool WaitUntil(const std::function<bool()>& happened,
                      std::chrono::milliseconds bound = std::chrono::seconds(5),
                      std::chrono::milliseconds every = std::chrono::milliseconds(10)) {
  const auto end = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (happened()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(every);
  }
}

// Whether process `pid` holds `path` open (a port, a tap): it has opened
// it, and is past the moment a test could not know.
inline bool HoldsOpen(int pid, const std::string& path) {
  std::error_code failed;
  const std::filesystem::path target = std::filesystem::canonical(path, failed);
  if (failed) return false;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", failed)) {
    std::error_code gone;
    if (std::filesystem::read_symlink(entry.path(), gone) == target) return true;
  }
  return false;
}
