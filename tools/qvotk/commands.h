// The commands of the qvotk host tool. Each returns what it found, which
// one printer renders as text or JSON; poll and demo print as they go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.h"
#include "tool_run.h"

Result RunInfo(const CommonOptions& options);
Result RunCheck(const CommonOptions& options, const std::vector<std::string>& names, int32_t values);
Result RunRead(const CommonOptions& options, const std::vector<std::string>& points);
Result RunWrite(const CommonOptions& options, const std::string& point, int value);
Result RunBlock(const CommonOptions& options, int32_t count);
Result RunBench(const CommonOptions& options, const std::string& kind, const std::string& point, int requests,
                int32_t blockValues);

// Stations 'from' to 'to' probed one by one: a station file and an open for
// each, and a read of its S point. `timeoutUnits` < 0: the default for the
// line's rate (ScanTimeoutUnits).
Result RunScan(const CommonOptions& options, int from, int to, int timeoutUnits);
uint32_t ScanTimeoutUnits(uint32_t baudRate);

struct PollOptions {
  std::vector<std::string> points;
  int intervalMs = 500;
  int rounds = 0;       // 0: until stopped
  int maxFailures = 0;  // 0: never stop for failures
};
int RunPoll(const CommonOptions& options, const PollOptions& poll);

int RunDemo(const CommonOptions& options, bool verboseSimulator);

// Points named as the user typed them, checked through the driver; a name
// it refuses is a usage error (64) that names it.
bool ResolvePoints(ToolRun& session, const std::vector<std::string>& names, std::vector<Point>* points,
                   Result* refused);
std::string PointLabel(const Point& point);
// A port given at all.
bool CheckPortName(const CommonOptions& options, Result* refused);
double Median(std::vector<double> samples);
