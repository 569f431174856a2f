// qvotk: the host's part played on the command line. Loads the driver
// library as a host does and calls it through its one export.
#include <iterator>

#include "command_line.h"
#include "commands.h"
#include "output.h"
#include "report_filter.h"
#include "stop_signals.h"

namespace {

// The commands, in the order help lists them.
const ToolCommand kCommands[] = {
    {"info", "Driver information and banner", InfoCommand, 0},
    {"check", "Validate point names (and whether they can be read as a block)", CheckCommand, 0},
    {"read", "Read points (S, 000-999); JSON: an array of one object a point", ReadCommand,
     kOpensLine | kCountsAttempts},
    {"write",
     "Write a point: the S point takes 0-9; a numbered point takes 1 or 2, the two values the controller's "
     "command carries for it (codes 71 and 72), whose meaning the plant gives",
     WriteCommand, kOpensLine | kCountsAttempts},
    {"block", "Read a block of values of point 001 in one exchange", BlockCommand,
     kOpensLine | kCountsAttempts},
    {"poll", "Read points round after round, with a live status line (or a JSON object a round)", PollCommand,
     kOpensLine | kCountsAttempts},
    {"scan",
     "Find the stations that answer on a line: a station file, an open and a read of the S point for each. "
     "A station that does not answer costs 10 attempts and a wait of 3 read time-outs, so the whole range "
     "0-9999 takes minutes even at the shortest time-out",
     ScanCommand, kProbesStations},
    {"bench", "Requests per second and the time per request against the wire time", BenchCommand, kOpensLine},
    {"monitor",
     "Listen on a tap of the bus (a second adapter, or tovek-sim --mirror) without sending anything: one "
     "line "
     "for each request and its reply, and a summary per station when it ends",
     MonitorCommand, 0},
    {"demo", "Start tovek-sim on a pseudo-terminal and run the driver against it (for people: no --json)",
     DemoCommand, kPrintsForPeople},
};

}  // namespace

int main(int argc, char** argv) {
  NoteTerminals();       // before the report filter takes standard error over
  ReportFilter reports;  // first made, last gone: every report passes through it
  CatchStopSignals();
  CommandLine line(argc, argv, std::begin(kCommands), std::end(kCommands));
  const ToolCommand* command = line.Command();
  return command != nullptr ? command->run(line) : line.WithoutCommand();
}
