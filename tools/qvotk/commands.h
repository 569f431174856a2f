// The commands of the qvotk host tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_session.h"

constexpr int kExitUsage = 64;

struct CommonOptions {
  std::string driverPath;
  std::string programDirectory;
  std::string port;
  int32_t lineNumber = 1;
  int baud = -1;  // -1: the driver's default
  int dataBits = -1;
  int stopBits = -1;
  int parity = -1;
  uint32_t timeoutUnits = 100;
  int station = -1;  // write a station file for this address into a private directory
  bool json = false;
};

int RunInfo(const CommonOptions& options);
int RunCheck(const CommonOptions& options, const std::vector<std::string>& names, int32_t count);
int RunRead(const CommonOptions& options, const std::vector<std::string>& points);
int RunWrite(const CommonOptions& options, const std::string& point, int value);
int RunBlock(const CommonOptions& options, int32_t count);
int RunPoll(const CommonOptions& options, const std::vector<std::string>& points, int intervalMs, int count);
int RunBench(const CommonOptions& options, const std::string& kind, const std::string& point, int requests,
             int32_t blockCount);
int RunDemo(const CommonOptions& options, bool verboseSimulator);
