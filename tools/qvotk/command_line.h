// The tool's commands, kept as git keeps its own: one table of a name, a
// line of help, a function and flags (main.cpp). main finds the command
// named on the line and hands over; the command defines its own options and
// positionals on its CLI11 subcommand, parses, and runs. The flags say
// which of the option sets that several commands share it takes.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "output.h"
#include "tool_run.h"

class CommandLine;

enum CommandFlags : unsigned {
  kOpensLine = 1u << 0,        // the port, the line, the station, the serial settings, the read time-out
  kProbesStations = 1u << 1,   // the same without station and time-out, which the command sets itself
  kCountsAttempts = 1u << 2,   // -v: each request's attempts, read from the driver's capture
  kPrintsForPeople = 1u << 3,  // takes no --json
};

struct ToolCommand {
  const char* name;
  const char* summary;  // its line in qvotk --help
  int (*run)(CommandLine& line);
  unsigned flags;
};

// A read time-out in milliseconds as the host's record holds it: in its
// units, rounded up.
uint32_t TimeoutUnitsOf(uint32_t milliseconds);

// The longest read time-out a host's record holds sensibly here: a day.
constexpr uint32_t kLongestTimeoutMs = 24u * 3600u * 1000u;

class CommandLine {
 public:
  CommandLine(int argc, char** argv, const ToolCommand* first, const ToolCommand* last);

  // The command the line names, made ready to define its options; null
  // when it names none.
  const ToolCommand* Command();
  // What the tool does without a command: its help, its version, or a
  // usage error (an unknown command's among them). The exit status.
  int WithoutCommand();

  CLI::App& app() { return *command_; }
  CommonOptions& options() { return options_; }

  // Adds the option sets the command's flags name, after its own, and
  // parses the whole line. False when the command is not to run: after
  // --help or --version, or a usage error, said; `status()` is then the
  // exit status.
  bool Parse();
  int status() const { return status_; }

  // Prints what the command found, as text or JSON; the exit status.
  int Report(const Result& result) const;

 private:
  void AddLineOptions(bool stationAndTimeout);
  void AddAttemptOptions();
  bool WantsJson() const;

  int argc_;
  char** argv_;
  const ToolCommand* first_;
  const ToolCommand* last_;
  CommonOptions options_;
  CLI::App tool_;
  CLI::App* command_ = nullptr;
  unsigned flags_ = 0;
  uint32_t timeoutMs_ = UINT32_MAX;  // given: it wins over --timeout
  int status_ = 0;
};
