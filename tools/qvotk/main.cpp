// qvotk: the host's part played on the command line. Loads the driver
// library as a host does and calls it through its one export.
#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

#include "commands.h"
#include "output.h"
#include "report_filter.h"
#include "stop_signals.h"
#if !defined(_WIN32)
#include "common/child_process.h"
#endif

namespace {

constexpr const char* kExitCodes =
    "Exit status: 0 done; 1 refused by the driver or the controller; 2 no or a bad answer, or a port "
    "failure\n"
    "(the driver's status, the worst of several requests); 64 a usage error, or a request refused before\n"
    "anything was sent; 129 after SIGHUP, 130 after Ctrl-C, 141 when standard output closed, 143 after\n"
    "SIGTERM.";

std::string SelfDirectory(const char* argv0) {
#if defined(_WIN32)
  const std::string self = argv0;
  const size_t slash = self.find_last_of("/\\");
  return slash == std::string::npos ? "." : self.substr(0, slash);
#else
  return ProgramDirectory(argv0);
#endif
}

// The options every command takes: the library, and the output.
void AddToolOptions(CLI::App* command, CommonOptions& options) {
  command->add_option("--driver", options.driverPath,
                      "Driver library to load (default: the one beside qvotk)");
  command->add_flag("--json", options.json, "Print JSON for scripts, errors included");
}

// The options of the commands that open a line.
void AddLineOptions(CLI::App* command, CommonOptions& options) {
  static const std::map<std::string, int> kParities = {
      {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
  command->add_option("-p,--port", options.port, "Serial port as the driver opens it (COM1, ttyUSB0, pts/3)");
  command->add_option("-l,--line", options.lineNumber, "Line number; names the station file QVOTKnn.int")
      ->check(CLI::Range(0, 99));
  command
      ->add_option("-s,--station", options.station,
                   "Station address 0-9999: run in a private directory with a station file for it "
                   "(without: QVOTKnn.int of the working directory)")
      ->check(CLI::Range(0, 9999));
  command->add_option("-b,--baud", options.baud, "Baud rate, 1-65535 (default: the driver's, 2400)")
      ->check(CLI::Range(1, 65535));
  command->add_option("--data-bits", options.dataBits, "Data bits, 5-8 (default 8)")->check(CLI::Range(5, 8));
  command->add_option("--stop-bits", options.stopBits, "Stop bits: 1, 1.5 or 2 (default 1)")
      ->check(CLI::IsMember({"1", "1.5", "2"}));
  command->add_option("--parity", options.parity, "Parity: none, odd, even, mark, space (default none)")
      ->transform(CLI::CheckedTransformer(kParities, CLI::ignore_case));
  command->add_option("-t,--timeout", options.timeoutUnits,
                      "Read time-out in units of 10 ms (0: wait for ever)");
}

// The first word that is no option, when it names no command.
std::string UnknownCommand(int argc, char** argv, const CLI::App& app) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty() || word[0] == '-') {
      if (word == "--driver") ++i;  // its value follows
      continue;
    }
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->get_name() == word) return "";
    }
    return word;
  }
  return "";
}

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  ReportFilter reports;  // first made, last gone: every report passes through it
  CatchStopSignals();
  CLI::App app{"qvotk: talk to TOVEK controllers through the qvotk driver library, as a host does"};
  app.set_version_flag("--version", std::string("qvotk ") + QVO_VERSION);
  app.require_subcommand(1);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->always_capture_default();
  app.footer(kExitCodes);
  CommonOptions options;
  options.programDirectory = SelfDirectory(argv[0]);
  AddToolOptions(&app, options);

  int result = 0;
  auto run = [&](const Result& found) {
    Print(found, options.json);
    result = found.status;
  };

  auto* info = app.add_subcommand("info", "Driver information and banner");
  AddToolOptions(info, options);
  info->callback([&] { run(RunInfo(options)); });

  std::vector<std::string> names;
  int32_t checkCount = 1;
  auto* check = app.add_subcommand("check", "Validate point names (and whether they can be read as a block)");
  check->add_option("names", names, "Point names")->required();
  check->add_option("-n,--count", checkCount, "Value count for the block question");
  AddToolOptions(check, options);
  check->callback([&] { run(RunCheck(options, names, checkCount)); });

  std::vector<std::string> readPoints;
  auto* read = app.add_subcommand("read", "Read points (S, 000-999)");
  read->add_option("points", readPoints, "Point names")->required();
  AddLineOptions(read, options);
  AddToolOptions(read, options);
  read->callback([&] { run(RunRead(options, readPoints)); });

  std::string writePoint;
  int writeValue = 0;
  auto* write = app.add_subcommand("write", "Write a point: S takes 0-9, numbered points 1 or 2");
  write->add_option("point", writePoint, "Point name")->required();
  write->add_option("value", writeValue, "Value")->required()->check(CLI::Range(0, 65535));
  AddLineOptions(write, options);
  AddToolOptions(write, options);
  write->callback([&] { run(RunWrite(options, writePoint, writeValue)); });

  int32_t blockCount = 16;
  auto* block = app.add_subcommand("block", "Read a block of values in one exchange");
  block->add_option("count", blockCount, "Number of values, 0-255")->required();
  AddLineOptions(block, options);
  AddToolOptions(block, options);
  block->callback([&] { run(RunBlock(options, blockCount)); });

  PollOptions poll;
  auto* pollCommand = app.add_subcommand(
      "poll", "Read points round after round, with a live status line (or a JSON object a round)");
  pollCommand->add_option("points", poll.points, "Point names")->required();
  pollCommand->add_option("-i,--interval-ms", poll.intervalMs, "Pause between rounds")
      ->check(CLI::Range(0, INT_MAX));
  pollCommand->add_option("-c,--count", poll.rounds, "Rounds (0: until stopped)")
      ->check(CLI::Range(0, INT_MAX));
  pollCommand
      ->add_option("--max-failures", poll.maxFailures,
                   "Stop after this many failed rounds, with the last one's status (0: never)")
      ->check(CLI::Range(0, INT_MAX));
  AddLineOptions(pollCommand, options);
  AddToolOptions(pollCommand, options);
  pollCommand->callback([&] { result = RunPoll(options, poll); });

  int scanFrom = 0, scanTo = 99, scanTimeout = -1;
  auto* scan = app.add_subcommand(
      "scan",
      "Find the stations that answer on a line: a station file, an open and a read of the S point for each. "
      "A station that does not answer costs 10 attempts and a wait of 3 read time-outs, so the whole range "
      "0-9999 takes minutes even at the shortest time-out");
  scan->add_option("--from", scanFrom, "First station address")->check(CLI::Range(0, 9999));
  scan->add_option("--to", scanTo, "Last station address")->check(CLI::Range(0, 9999));
  scan->add_option("--station-timeout", scanTimeout,
                   "Read time-out of each probe, in 10 ms units (default: the S reply's time on the wire and "
                   "10 ms, 4 at 9600 baud, 10 at 2400; 0 waits for ever)")
      ->check(CLI::Range(0, 100000));
  AddLineOptions(scan, options);
  AddToolOptions(scan, options);
  scan->callback([&] { run(RunScan(options, scanFrom, scanTo, scanTimeout)); });

  std::string benchKind = "s", benchPoint = "001";
  int benchRequests = 100;
  int32_t benchBlock = 255;
  auto* bench =
      app.add_subcommand("bench", "Requests per second and the time per request against the wire time");
  bench->add_option("-k,--kind", benchKind, "s, point or block")
      ->check(CLI::IsMember({"s", "point", "block"}));
  bench->add_option("--point", benchPoint, "The point of --kind point");
  bench->add_option("-n,--requests", benchRequests, "Number of requests")->check(CLI::Range(1, 100000000));
  bench->add_option("--count", benchBlock, "Values of --kind block")->check(CLI::Range(0, 255));
  AddLineOptions(bench, options);
  AddToolOptions(bench, options);
  bench->callback([&] { run(RunBench(options, benchKind, benchPoint, benchRequests, benchBlock)); });

  bool verboseSimulator = false;
  auto* demo =
      app.add_subcommand("demo", "Start tovek-sim on a pseudo-terminal and run the driver against it");
  demo->add_flag("-v,--verbose", verboseSimulator, "Show the simulator's frame trace");
  AddToolOptions(demo, options);
  demo->callback([&] { result = RunDemo(options, verboseSimulator); });

  for (CLI::App* command : app.get_subcommands({})) command->footer(kExitCodes);

  const std::string unknown = UnknownCommand(argc, argv, app);
  if (!unknown.empty()) {
    std::string commands;
    for (const CLI::App* command : app.get_subcommands({})) commands += " " + command->get_name();
    options.json = WantsJson(argc, argv);
    Print(Failure(kExitUsage, "no command is called '" + unknown + "'; the commands are:" + commands),
          options.json);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    if (code == 0) return 0;
    if (WantsJson(argc, argv)) Print(Failure(kExitUsage, e.what()), true);
    return kExitUsage;
  }
  return result;
}
