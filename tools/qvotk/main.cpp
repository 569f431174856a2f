// qvotk: the host's part played on the command line. Loads the driver
// library as a host does and calls it through its one export.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>

#include "commands.h"
#if !defined(_WIN32)
#include "common/child_process.h"
#endif

namespace {

std::string SelfDirectory(const char* argv0) {
#if defined(_WIN32)
  const std::string self = argv0;
  const size_t slash = self.find_last_of("/\\");
  return slash == std::string::npos ? "." : self.substr(0, slash);
#else
  return ProgramDirectory(argv0);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qvotk: talk to TOVEK controllers through the qvotk driver library, as a host does"};
  app.require_subcommand(1);
  app.fallthrough();  // line options may follow the command: qvotk read S --port pts/3
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  CommonOptions options;
  options.programDirectory = SelfDirectory(argv[0]);
  const std::map<std::string, int> parities = {
      {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};

  app.add_option("--driver", options.driverPath, "Driver library to load (default: the one beside qvotk)");
  app.add_option("-p,--port", options.port, "Serial port name as the driver opens it (COM1, ttyUSB0, pts/3)");
  app.add_option("-l,--line", options.lineNumber, "Line number; names the station file QVOTKnn.int");
  app.add_option("-b,--baud", options.baud, "Baud rate (default: the driver's, 2400)");
  app.add_option("--data-bits", options.dataBits, "Data bits (default 8)");
  app.add_option("--stop-bits", options.stopBits, "Stop bits code: 0 one, 1 one and a half, 2 two");
  app.add_option("--parity", options.parity, "Parity: none, odd, even, mark, space")
      ->transform(CLI::CheckedTransformer(parities, CLI::ignore_case));
  app.add_option("-t,--timeout", options.timeoutUnits, "Read time-out in units of 10 ms (default 100)");
  app.add_option("-s,--station", options.station,
                 "Run in a private directory with a station file for this address")
      ->check(CLI::Range(0, 65535));
  app.add_flag("--json", options.json, "Print JSON for scripts");

  int result = 0;
  app.add_subcommand("info", "Driver information and banner")->callback([&] { result = RunInfo(options); });

  std::vector<std::string> names;
  int32_t checkCount = 1;
  auto* check = app.add_subcommand("check", "Validate point names (and whether they can be read as a block)");
  check->add_option("names", names, "Point names")->required();
  check->add_option("-n,--count", checkCount, "Value count for the block question");
  check->callback([&] { result = RunCheck(options, names, checkCount); });

  std::vector<std::string> readPoints;
  auto* read = app.add_subcommand("read", "Read points (S, 000-999)");
  read->add_option("points", readPoints, "Point names")->required();
  read->callback([&] { result = RunRead(options, readPoints); });

  std::string writePoint;
  int writeValue = 0;
  auto* write = app.add_subcommand("write", "Write a point: S takes 0-9, numbered points 1 or 2");
  write->add_option("point", writePoint, "Point name")->required();
  write->add_option("value", writeValue, "Value")->required()->check(CLI::Range(0, 65535));
  write->callback([&] { result = RunWrite(options, writePoint, writeValue); });

  int32_t blockCount = 16;
  auto* block = app.add_subcommand("block", "Read a block of values in one exchange");
  block->add_option("count", blockCount, "Number of values, 0-255")->required();
  block->callback([&] { result = RunBlock(options, blockCount); });

  std::vector<std::string> pollPoints;
  int intervalMs = 500, pollCount = 0;
  auto* poll = app.add_subcommand("poll", "Read points again and again, with a live status line");
  poll->add_option("points", pollPoints, "Point names")->required();
  poll->add_option("-i,--interval-ms", intervalMs, "Pause between rounds");
  poll->add_option("-c,--count", pollCount, "Rounds (0: until interrupted)");
  poll->callback([&] { result = RunPoll(options, pollPoints, intervalMs, pollCount); });

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
  bench->callback([&] { result = RunBench(options, benchKind, benchPoint, benchRequests, benchBlock); });

  bool verboseSimulator = false;
  auto* demo =
      app.add_subcommand("demo", "Start tovek-sim on a pseudo-terminal and run the driver against it");
  demo->add_flag("-v,--verbose", verboseSimulator, "Show the simulator's frame trace");
  demo->callback([&] { result = RunDemo(options, verboseSimulator); });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  return result;
}
