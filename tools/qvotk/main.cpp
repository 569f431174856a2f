// qvotk: the host's part played on the command line. Loads the driver
// library as a host does and calls it through its one export.
#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "monitor.h"
#include "output.h"
#include "report_filter.h"
#include "stop_signals.h"
#if !defined(_WIN32)
#include "common/child_process.h"
#endif

namespace {

constexpr const char* kExitCodes =
    "Exit status: 0 done; 1 refused by the driver or the controller; 2 no or a bad answer, or a port\n"
    "failure (the driver's status, the worst of several requests); 64 a usage error, or a request\n"
    "refused before anything was sent; 129 after SIGHUP, 130 after Ctrl-C, 141 when standard output\n"
    "closed, 143 after SIGTERM.";

// The longest read time-out a host's record holds sensibly here: a day.
constexpr uint32_t kLongestTimeoutMs = 24u * 3600u * 1000u;

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
  command->add_flag("--json", options.json, "Print JSON for scripts: one result object, errors included");
}

// The commands whose requests' attempts are counted, and shown with -v.
void AddAttemptOptions(CLI::App* command, CommonOptions& options) {
  command->add_flag("-v,--verbose", options.verbose,
                    "Show each attempt's frames on standard error: sent, received, and what they were");
  command->preparse_callback([&options](size_t) { options.countAttempts = true; });
}

struct LineOptionSet {
  bool station = true;
  bool timeout = true;
};

// The options of the commands that open a line.
void AddLineOptions(CLI::App* command, CommonOptions& options, uint32_t* timeoutMs, LineOptionSet set = {}) {
  command->add_option(
      "-p,--port", options.port,
      "Serial port: COM1, ttyUSB0, pts/3, or any path (/dev/ttyUSB0, /dev/serial/by-id/...): a "
      "path too long for the driver's 11 characters goes through a short link of its own");
  command
      ->add_option("-l,--line", options.lineNumber,
                   "Line number 0-99, naming the station file QVOTKnn.int (1)")
      ->check(CLI::Range(0, 99));
  if (set.station) {
    command
        ->add_option(
            "-s,--station", options.station,
            "Station address 0-9999: run in a private directory with a station file for it (without: "
            "the working directory's QVOTKnn.int, or station 1 when there is none)")
        ->check(CLI::Range(0, 9999));
  }
  command->add_option("-b,--baud", options.baud, "Baud rate 1-65535 (the driver's default: 2400)")
      ->check(CLI::Range(1, 65535));
  command->add_option("--data-bits", options.dataBits, "Data bits 5-8 (8)")->check(CLI::Range(5, 8));
  command->add_option("--stop-bits", options.stopBits, "Stop bits: 1, 1.5 or 2 (1)")
      ->check(CLI::IsMember({"1", "1.5", "2"}));
  command->add_option("--parity", options.parity, "Parity: none, odd, even, mark or space (none)")
      ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
  if (set.timeout) {
    auto* units =
        command->add_option("-t,--timeout", options.timeoutUnits,
                            "Read time-out in units of 10 ms, as the host's record has it (100: 1 s; "
                            "0 waits for ever)");
    auto* ms = command
                   ->add_option("--timeout-ms", *timeoutMs,
                                "Read time-out in milliseconds, rounded up to 10 ms (0 waits for ever; at "
                                "most a day)")
                   ->check(CLI::Range(0u, kLongestTimeoutMs));
    units->excludes(ms);
  }
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
  NoteTerminals();       // before the report filter takes standard error over
  ReportFilter reports;  // first made, last gone: every report passes through it
  CatchStopSignals();
  CLI::App app{"qvotk: talk to TOVEK controllers through the qvotk driver library, as a host does"};
  app.name("qvotk");
  app.set_version_flag("-V,--version", std::string("qvotk ") + QVO_VERSION);
  app.require_subcommand(1);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.footer(kExitCodes);
  CommonOptions options;
  options.programDirectory = SelfDirectory(argv[0]);
  uint32_t timeoutMs = UINT32_MAX;  // given: it wins over --timeout
  AddToolOptions(&app, options);

  int result = 0;
  auto run = [&](const Result& found) {
    Print(found, options.json);
    result = found.status;
  };
  // --timeout-ms, in the host's 10 ms units, rounded up.
  auto settle = [&] {
    if (timeoutMs != UINT32_MAX) options.timeoutUnits = (timeoutMs + 9) / 10;
  };

  auto* info = app.add_subcommand("info", "Driver information and banner");
  AddToolOptions(info, options);
  info->callback([&] { run(RunInfo(options)); });

  std::vector<std::string> names;
  int32_t checkValues = 16;
  auto* check = app.add_subcommand("check", "Validate point names (and whether they can be read as a block)");
  check->add_option("names", names, "Point names: S, or three digits 000-999")->required();
  check->add_option("--values", checkValues, "Values of the block question, 0-255 (16)");
  AddToolOptions(check, options);
  check->callback([&] { run(RunCheck(options, names, checkValues)); });

  std::vector<std::string> readPoints;
  auto* read = app.add_subcommand("read", "Read points (S, 000-999); JSON: an array of one object a point");
  read->add_option("points", readPoints, "Point names")->required();
  AddLineOptions(read, options, &timeoutMs);
  AddAttemptOptions(read, options);
  AddToolOptions(read, options);
  read->callback([&] {
    settle();
    run(RunRead(options, readPoints));
  });

  std::string writePoint;
  int writeValue = 0;
  auto* write = app.add_subcommand(
      "write",
      "Write a point: the S point takes 0-9; a numbered point takes 1 or 2, the two values the controller's "
      "command carries for it (codes 71 and 72), whose meaning the plant gives");
  write->add_option("point", writePoint, "Point name")->required();
  write->add_option("value", writeValue, "Value")->required();
  AddLineOptions(write, options, &timeoutMs);
  AddAttemptOptions(write, options);
  AddToolOptions(write, options);
  write->callback([&] {
    settle();
    run(RunWrite(options, writePoint, writeValue));
  });

  int32_t blockValues = 0;
  auto* block = app.add_subcommand("block", "Read a block of values of point 001 in one exchange");
  block->add_option("values", blockValues, "Number of values, 0-255")->required();
  AddLineOptions(block, options, &timeoutMs);
  AddAttemptOptions(block, options);
  AddToolOptions(block, options);
  block->callback([&] {
    settle();
    run(RunBlock(options, blockValues));
  });

  PollOptions poll;
  auto* pollCommand = app.add_subcommand(
      "poll", "Read points round after round, with a live status line (or a JSON object a round)");
  pollCommand->add_option("points", poll.points, "Point names")->required();
  pollCommand->add_option("-i,--interval-ms", poll.intervalMs, "Pause between rounds in ms (500)")
      ->check(CLI::Range(0, INT_MAX));
  pollCommand->add_option("-n,-c,--count", poll.rounds, "Rounds (until stopped)")
      ->check(CLI::Range(1, INT_MAX));
  pollCommand
      ->add_option("--max-failures", poll.maxFailures,
                   "Stop after this many failed rounds, with the last one's status")
      ->check(CLI::Range(1, INT_MAX));
  AddLineOptions(pollCommand, options, &timeoutMs);
  AddAttemptOptions(pollCommand, options);
  AddToolOptions(pollCommand, options);
  pollCommand->callback([&] {
    settle();
    result = RunPoll(options, poll);
  });

  int scanFrom = 0, scanTo = 99, scanTimeout = -1;
  auto* scan = app.add_subcommand(
      "scan",
      "Find the stations that answer on a line: a station file, an open and a read of the S point for each. "
      "A station that does not answer costs 10 attempts and a wait of 3 read time-outs, so the whole range "
      "0-9999 takes minutes even at the shortest time-out");
  scan->add_option("--from", scanFrom, "First station address (0)")->check(CLI::Range(0, 9999));
  scan->add_option("--to", scanTo, "Last station address (99)")->check(CLI::Range(0, 9999));
  auto* scanUnits =
      scan->add_option("--station-timeout", scanTimeout,
                       "Read time-out of each probe, in 10 ms units (by default the S reply's "
                       "time on the wire and 10 ms: 4 at 9600 baud, 10 at 2400; 0 waits for ever)")
          ->check(CLI::Range(0, 8640000));
  uint32_t scanTimeoutMs = UINT32_MAX;
  scan->add_option(
          "--station-timeout-ms", scanTimeoutMs,
          "Read time-out of each probe in milliseconds, rounded up to 10 ms (0 waits for ever; at most "
          "a day)")
      ->check(CLI::Range(0u, kLongestTimeoutMs))
      ->excludes(scanUnits);
  AddLineOptions(scan, options, &timeoutMs, {false, false});
  AddToolOptions(scan, options);
  scan->callback([&] {
    if (scanTimeoutMs != UINT32_MAX) scanTimeout = static_cast<int>((scanTimeoutMs + 9) / 10);
    run(RunScan(options, scanFrom, scanTo, scanTimeout));
  });

  std::string benchKind = "s", benchPoint = "001";
  int benchRequests = 100;
  int32_t benchValues = 255;
  auto* bench =
      app.add_subcommand("bench", "Requests per second and the time per request against the wire time");
  bench->add_option("-k,--kind", benchKind, "s, point or block (s)")
      ->check(CLI::IsMember({"s", "point", "block"}));
  bench->add_option("--point", benchPoint, "The point of --kind point (001)");
  bench->add_option("-n,--count,--requests", benchRequests, "Requests (100)")
      ->check(CLI::Range(1, 100000000));
  bench->add_option("--values", benchValues, "Values of --kind block, 0-255 (255)")
      ->check(CLI::Range(0, 255));
  AddLineOptions(bench, options, &timeoutMs);
  AddToolOptions(bench, options);
  bench->callback([&] {
    settle();
    run(RunBench(options, benchKind, benchPoint, benchRequests, benchValues));
  });

  MonitorOptions monitor;
  auto* monitorCommand =
      app.add_subcommand("monitor",
                         "Listen on a tap of the bus (a second adapter, or tovek-sim --mirror) without "
                         "sending anything: one line "
                         "for each request and its reply, and a summary per station when it ends");
  monitorCommand->add_option("-p,--port", options.port, "The tap's port: ttyUSB1, pts/4, or any path");
  monitorCommand->add_option("-b,--baud", options.baud, "Baud rate of the line (2400)")
      ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
  monitorCommand->add_option("--capture", monitor.capture,
                             "Also write what it hears to this capture file (pcap, as QVOTK_CAPTURE)");
  monitorCommand
      ->add_option("--no-answer-ms", monitor.noAnswerAfterMs,
                   "A request with no reply within this many ms was not answered (2000)")
      ->check(CLI::Range(1, 3600000));
  AddToolOptions(monitorCommand, options);
  monitorCommand->callback([&] { result = RunMonitor(options, monitor); });

  bool verboseSimulator = false;
  auto* demo = app.add_subcommand(
      "demo", "Start tovek-sim on a pseudo-terminal and run the driver against it (for people: no --json)");
  demo->add_flag("-v,--verbose", verboseSimulator, "Show the simulator's frame trace");
  demo->add_option("--driver", options.driverPath, "Driver library to load (default: the one beside qvotk)");
  demo->callback([&] {
    if (options.json) {
      run(Failure(kExitUsage, "demo prints for people: it takes no --json"));
    } else {
      result = RunDemo(options, verboseSimulator);
    }
  });

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
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& e) {
    Print(Failure(kExitUsage, std::string(e.what()) + " (see qvotk COMMAND --help)"), WantsJson(argc, argv));
    return kExitUsage;
  }
  return result;
}
