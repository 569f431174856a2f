#include "options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>

namespace {

// A whole number in [low, high], written in decimal or with 0x; nothing else.
bool ParseNumber(const std::string& text, long low, long high, long* value) {
  int base = 10;
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  long parsed = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

struct UsageError {
  std::string message;
};

// The station of "STATION:..." if there is one; checked against the line.
int StationPrefix(const std::string& option, std::string* text, const std::vector<uint32_t>& stations) {
  const size_t colon = text->find(':');
  if (colon == std::string::npos) return -1;
  long station = 0;
  if (!ParseNumber(text->substr(0, colon), 0, qvotk_host::kMaxStation, &station)) {
    throw UsageError{option + ": '" + text->substr(0, colon) + "' is not a station address 0-9999"};
  }
  bool onLine = false;
  for (uint32_t s : stations) onLine = onLine || s == static_cast<uint32_t>(station);
  if (!onLine)
    throw UsageError{option + ": station " + std::to_string(station) + " is not on the line (--station)"};
  *text = text->substr(colon + 1);
  return static_cast<int>(station);
}

uint8_t ByteValue(const std::string& option, const std::string& text, long high = 255) {
  long value = 0;
  if (!ParseNumber(text, 0, high, &value)) {
    throw UsageError{option + ": '" + text + "' is not a value 0-" + std::to_string(high)};
  }
  return static_cast<uint8_t>(value);
}

// "none" has its place in a script (a reply as it should be), not in a draw.
std::vector<sim::Fault> FaultList(const std::string& option, const std::vector<std::string>& names,
                                  bool noneAllowed) {
  std::vector<sim::Fault> faults;
  for (const std::string& name : names) {
    sim::Fault fault;
    if (!sim::ParseFaultName(name, &fault) || (fault == sim::Fault::None && !noneAllowed)) {
      std::string kinds;
      for (int i = 1; i < sim::kFaultKinds; ++i)
        kinds += std::string(i > 1 ? ", " : "") + FaultName(static_cast<sim::Fault>(i));
      throw UsageError{option + ": no fault is called '" + name + "'; the kinds are " + kinds};
    }
    faults.push_back(fault);
  }
  return faults;
}

std::string FaultHelp() {
  std::string text = "Fault kinds (--faults, --fault-script):\n";
  for (int i = 1; i < sim::kFaultKinds; ++i) {
    const auto fault = static_cast<sim::Fault>(i);
    char line[160];
    std::snprintf(line, sizeof line, "  %-18s %s\n", sim::FaultName(fault), sim::FaultDescription(fault));
    text += line;
  }
  return text +
         "\nValues: --point N=V and --s-point V set every controller; --point 12:N=V and\n"
         "--s-point 12:V set station 12's. Without them the S point is the station's last\n"
         "digit and point N holds N + station (mod 256).\n"
         "Exit status: 0, or 64 for a usage error; 1 when the port cannot be made; 129, 130 or 143 when\n"
         "SIGHUP, Ctrl-C or SIGTERM ended it.";
}

// The options as typed, before they are read into values.
struct TypedOptions {
  std::vector<std::string> sPoints, points, scriptNames;
  std::string block;
  std::string faultList = "no-reply,short-reply,status-error,bad-checksum,wrong-block-count,stray-bytes";
};

void DefineLine(CLI::App& app, SimOptions& o, TypedOptions& typed) {
  app.add_option("--device", o.device, "Serve this serial device instead of a new pseudo-terminal");
  app.add_option("--station", o.stations, "Station address of a controller on the line (repeat for several)")
      ->check(CLI::Range(0u, qvotk_host::kMaxStation))
      ->default_str("1");
  app.add_option("--s-point", typed.sPoints, "The S point, [STATION:]V with V 0-9 (repeat)");
  app.add_option("--point", typed.points, "A numbered point, [STATION:]N=V with N 0-999, V 0-255 (repeat)");
  app.add_option("--block", typed.block, "Values a block read answers with, comma-separated, 0-255 each");
  app.add_option("--block-count", o.blockCount, "Else answer block reads with 1, 2, 3 ... this many values")
      ->check(CLI::Range(0, qvotk_host::kMaxBlockValues));
  app.add_option("--baud", o.baud, "Pace the line at this baud rate, 10 bits a character (0: unpaced)")
      ->check(CLI::Range(0u, 4000000u));
  app.add_option("--turnaround-ms", o.turnaroundMs,
                 "Pause between the end of a request and its reply; make it longer than the driver's read "
                 "time-out for a controller whose every reply is late")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--drift-ms", o.driftMs, "Every this many ms, every value moves one step (0: values stay)")
      ->check(CLI::NonNegativeNumber);
}

void DefineFaults(CLI::App& app, SimOptions& o, TypedOptions& typed) {
  app.add_option("--fault-rate", o.faultRate, "Probability of a fault in each reply")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--faults", typed.faultList, "Fault kinds to draw from, comma-separated");
  app.add_option("--fault-script", typed.scriptNames, "Faults for the next replies, in order (repeat)");
  app.add_option("--fault-delay-ms", o.faultDelayMs, "How late a reply with the delay fault comes")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--seed", o.seed, "Seed of the fault draw and of the noise");
}

void DefineOutputs(CLI::App& app, SimOptions& o) {
  app.add_flag("-v,--verbose", o.verbose, "Trace every request, reply and burst of noise with a timestamp");
  app.add_option("--port-file", o.portFile, "Also write the port name to this file");
  app.add_option("--stats-file", o.statsFile, "On exit, write the statistics to this file");
  app.add_option("--link", o.link,
                 "Make a symbolic link with this path to the pseudo-terminal (only a free path, or a link an "
                 "earlier run left to a pseudo-terminal, is taken; removed on exit)");
  app.add_option("--mirror", o.mirror,
                 "Copy both directions of the line, as a tap on the bus hears them, to a second "
                 "pseudo-terminal linked at this path (the same rules as --link); qvotk monitor reads it");
  app.add_option("--replay", o.replay,
                 "Answer from this capture (QVOTK_CAPTURE, qvotk monitor --capture) instead of the "
                 "controllers: each request gets what followed it there, at the moments it came; a "
                 "request the capture never held gets no reply");
}

// "[STATION:]N=V" for a numbered point.
StationValue PointValue(std::string text, const std::vector<uint32_t>& stations) {
  const int station = StationPrefix("--point", &text, stations);
  const size_t equals = text.find('=');
  if (equals == std::string::npos) throw UsageError{"--point: '" + text + "' is not N=V"};
  long number = 0;
  if (!ParseNumber(text.substr(0, equals), 0, 999, &number)) {
    throw UsageError{"--point: '" + text.substr(0, equals) + "' is not a point 000-999"};
  }
  return {station, static_cast<uint32_t>(number), ByteValue("--point", text.substr(equals + 1))};
}

// The values of the options as typed; throws UsageError naming the option
// at fault.
void ReadTypedOptions(const TypedOptions& typed, SimOptions* options) {
  SimOptions& o = *options;
  if (o.stations.empty()) o.stations.push_back(1);
  for (std::string text : typed.sPoints) {
    const int station = StationPrefix("--s-point", &text, o.stations);
    o.sPoints.push_back({station, 0, ByteValue("--s-point", text, 9)});
  }
  for (const std::string& text : typed.points) o.points.push_back(PointValue(text, o.stations));
  if (!typed.block.empty()) {
    o.blockGiven = true;
    for (const std::string& item : CLI::detail::split(typed.block, ','))
      o.block.push_back(ByteValue("--block", item));
    if (o.block.size() > static_cast<size_t>(qvotk_host::kMaxBlockValues))
      throw UsageError{"--block: a block holds at most 255 values"};
  }
  o.faults = FaultList("--faults", CLI::detail::split(typed.faultList, ','), false);
  o.scriptedFaults = FaultList("--fault-script", typed.scriptNames, true);
}

}  // namespace

int ParseOptions(int argc, char** argv, SimOptions* options) {
  CLI::App app{
      "tovek-sim: simulated TOVEK controllers on a serial line (a new pseudo-terminal, or --device)"};
  app.set_version_flag("--version", std::string("tovek-sim ") + QVO_VERSION);
  app.option_defaults()->always_capture_default();
  TypedOptions typed;
  DefineLine(app, *options, typed);
  DefineFaults(app, *options, typed);
  DefineOutputs(app, *options);
  app.footer(FaultHelp());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  try {
    ReadTypedOptions(typed, options);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "tovek-sim: %s\n", e.message.c_str());
    return kExitUsage;
  }
  return -1;
}
