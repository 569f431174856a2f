// The commands of the qvotk host tool, one function each (main.cpp keeps
// their table), and the steps they share. A command returns its exit
// status; most print what they found through one printer, as text or JSON,
// and poll, monitor and demo print as they go.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "command_line.h"
#include "output.h"
#include "tool_run.h"

int InfoCommand(CommandLine& line);     // info.cpp
int CheckCommand(CommandLine& line);    // info.cpp
int ReadCommand(CommandLine& line);     // requests.cpp
int WriteCommand(CommandLine& line);    // requests.cpp
int BlockCommand(CommandLine& line);    // requests.cpp
int PollCommand(CommandLine& line);     // poll.cpp
int ScanCommand(CommandLine& line);     // scan.cpp
int BenchCommand(CommandLine& line);    // bench.cpp
int MonitorCommand(CommandLine& line);  // monitor.cpp
int DemoCommand(CommandLine& line);     // demo.cpp

// The steps of a command that talks to a line, each false with the result
// that says why not: a port given at all; the run started; the points
// named as the user typed them, checked through the driver (a name it
// refuses is a usage error that names it); the channel open.
bool CheckPortName(const CommonOptions& options, Result* refused);
bool StartRun(ToolRun& run, Result* failed);
bool ResolvePoints(ToolRun& run, const std::vector<std::string>& names, std::vector<Point>* points,
                   Result* refused);
bool OpenRun(ToolRun& run, Result* failed);

// What a request waits for, said on a terminal after 2 s.
std::string WaitingFor(const ToolRun& run);
// A request made apart (RunUnlessStopped), told on a terminal after 2 s
// by what it waits for; a signal ends the tool with "stopped by a signal
// while `doing`".
void RunRequest(const ToolRun& run, const std::function<void()>& request, const std::string& doing);

// One request, timed.
struct Timed {
  QvoStatus status;
  std::chrono::duration<double> elapsed;
};
template <typename Request>
Timed Time(Request request) {
  const auto start = std::chrono::steady_clock::now();
  const QvoStatus status = request();
  return {status, std::chrono::steady_clock::now() - start};
}

std::string PointLabel(const Point& point);  // "S", "005"
double Median(std::vector<double> samples);
