#include "command_line.h"

#include <cstring>

#if !defined(_WIN32)
#include "common/child_process.h"
#endif

namespace {

constexpr const char* kToolSummary =
    "qvotk: talk to TOVEK controllers through the qvotk driver library, as a host does";

constexpr const char* kExitCodes =
    "Exit status: 0 done; 1 refused by the driver or the controller; 2 no or a bad answer, or a port\n"
    "failure (the driver's status, the worst of several requests); 64 a usage error, or a request\n"
    "refused before anything was sent; 129 after SIGHUP, 130 after Ctrl-C, 141 when standard output\n"
    "closed, 143 after SIGTERM.";

std::string SelfDirectory(const char* argv0) {
#if defined(_WIN32)
  const std::string self = argv0;
  const size_t slash = self.find_last_of("/\\");
  return slash == std::string::npos ? "." : self.substr(0, slash);
#else
  return ProgramDirectory(argv0);
#endif
}

// The options every command takes, before its name or after: the library,
// and the output.
void AddToolOptions(CLI::App* command, CommonOptions& options) {
  command->add_option("--driver", options.driverPath,
                      "Driver library to load (default: the one beside qvotk)");
  command->add_flag("--json", options.json, "Print JSON for scripts: one result object, errors included");
}

// The first word that is no option: the command's name, or "".
std::string CommandWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (!word.empty() && word[0] != '-') return word;
    if (word == "--driver") ++i;  // its value follows
  }
  return "";
}

}  // namespace

uint32_t TimeoutUnitsOf(uint32_t milliseconds) {
  return (milliseconds + qvotk_host::kTimeoutUnitMs - 1) / qvotk_host::kTimeoutUnitMs;
}

CommandLine::CommandLine(int argc, char** argv, const ToolCommand* first, const ToolCommand* last)
    : argc_(argc), argv_(argv), first_(first), last_(last), tool_(kToolSummary) {
  options_.programDirectory = SelfDirectory(argv[0]);
  tool_.name("qvotk");
  tool_.set_version_flag("-V,--version", std::string("qvotk ") + QVO_VERSION);
  tool_.require_subcommand(1);
  tool_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  tool_.footer(kExitCodes);
  AddToolOptions(&tool_, options_);
  for (const ToolCommand* command = first_; command != last_; ++command)
    tool_.add_subcommand(command->name, command->summary)->footer(kExitCodes);
}

const ToolCommand* CommandLine::Command() {
  const std::string word = CommandWord(argc_, argv_);
  for (const ToolCommand* command = first_; command != last_; ++command) {
    if (word != command->name) continue;
    command_ = tool_.get_subcommand(command->name);
    flags_ = command->flags;
    return command;
  }
  return nullptr;
}

int CommandLine::WithoutCommand() {
  const std::string word = CommandWord(argc_, argv_);
  if (word.empty()) {
    Parse();  // help, the version, or no command: never a command to run
    return status_;
  }
  std::string names;
  for (const ToolCommand* command = first_; command != last_; ++command)
    names += std::string(" ") + command->name;
  options_.json = WantsJson();
  return Report(Failure(kExitUsage, "no command is called '" + word + "'; the commands are:" + names));
}

bool CommandLine::Parse() {
  if (flags_ & (kOpensLine | kProbesStations)) AddLineOptions((flags_ & kOpensLine) != 0);
  if (flags_ & kCountsAttempts) AddAttemptOptions();
  if (command_ != nullptr && !(flags_ & kPrintsForPeople)) AddToolOptions(command_, options_);
  try {
    tool_.parse(argc_, argv_);
  } catch (const CLI::Success& done) {  // --help, --version
    status_ = tool_.exit(done);
    return false;
  } catch (const CLI::ParseError& e) {
    Print(Failure(kExitUsage, std::string(e.what()) + " (see qvotk COMMAND --help)"), WantsJson());
    status_ = kExitUsage;
    return false;
  }
  if (timeoutMs_ != UINT32_MAX) options_.timeoutUnits = TimeoutUnitsOf(timeoutMs_);
  if ((flags_ & kPrintsForPeople) && options_.json) {
    status_ = Report(Failure(kExitUsage, command_->get_name() + " prints for people: it takes no --json"));
    return false;
  }
  return true;
}

int CommandLine::Report(const Result& result) const {
  Print(result, options_.json);
  return result.status;
}

bool CommandLine::WantsJson() const {
  for (int i = 1; i < argc_; ++i) {
    if (std::strcmp(argv_[i], "--json") == 0) return true;
  }
  return false;
}

void CommandLine::AddAttemptOptions() {
  command_->add_flag("-v,--verbose", options_.verbose,
                     "Show each attempt's frames on standard error: sent, received, and what they were");
  options_.countAttempts = true;
}

void CommandLine::AddLineOptions(bool stationAndTimeout) {
  CLI::App& command = *command_;
  command.add_option(
      "-p,--port", options_.port,
      "Serial port: COM1, ttyUSB0, pts/3, or any path (/dev/ttyUSB0, /dev/serial/by-id/...): a "
      "path too long for the driver's 11 characters goes through a short link of its own");
  command
      .add_option("-l,--line", options_.lineNumber,
                  "Line number 0-99, naming the station file QVOTKnn.int (1)")
      ->check(CLI::Range(0, 99));
  if (stationAndTimeout) {
    command
        .add_option("-s,--station", options_.station,
                    "Station address 0-9999: run in a private directory with a station file for it (without: "
                    "the working directory's QVOTKnn.int, or station 1 when there is none)")
        ->check(CLI::Range(0, static_cast<int>(qvotk_host::kMaxStation)));
  }
  command.add_option("-b,--baud", options_.baud, "Baud rate 1-65535 (the driver's default: 2400)")
      ->check(CLI::Range(1, 65535));
  command.add_option("--data-bits", options_.dataBits, "Data bits 5-8 (8)")->check(CLI::Range(5, 8));
  command.add_option("--stop-bits", options_.stopBits, "Stop bits: 1, 1.5 or 2 (1)")
      ->check(CLI::IsMember({"1", "1.5", "2"}));
  command.add_option("--parity", options_.parity, "Parity: none, odd, even, mark or space (none)")
      ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
  if (!stationAndTimeout) return;
  auto* units = command.add_option("-t,--timeout", options_.timeoutUnits,
                                   "Read time-out in units of 10 ms, as the host's record has it, beyond the "
                                   "reply's time on the wire (20: 200 ms; 0 waits for ever)");
  auto* ms =
      command
          .add_option("--timeout-ms", timeoutMs_,
                      "Read time-out in milliseconds, rounded up to 10 ms (0 waits for ever; at most a day)")
          ->check(CLI::Range(0u, kLongestTimeoutMs));
  units->excludes(ms);
}
