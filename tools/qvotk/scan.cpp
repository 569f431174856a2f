// qvotk scan: the stations that answer on a line, probed one by one as a
// host would: a station file, an open, a read of the S point.
#include <cstdio>

#include "commands.h"
#include "stop_signals.h"

namespace {

// The default read time-out of a probe: the S reply's time on the wire,
// and 10 ms for the controller to turn the line around.
uint32_t ScanTimeoutUnits(uint32_t baudRate) {
  constexpr uint32_t kTurnaroundMs = 10;
  const uint32_t replyBits = qvotk_host::ValueFrames(true, false).reply * qvotk_host::kBitsPerCharacter;
  const uint32_t replyMs = baudRate ? (replyBits * 1000 + baudRate - 1) / baudRate : 0;
  return TimeoutUnitsOf(replyMs + kTurnaroundMs);
}

// The bar on a terminal: how far the scan is, and what it found.
void DrawProgress(int from, int to, int station, size_t found) {
  constexpr int kBarWidth = 30;
  const int done = station - from, all = to - from + 1;
  const int filled = kBarWidth * done / all;
  std::fprintf(stderr, "\rscanning %d-%d [%s%s] %d/%d, found: %zu ", from, to,
               std::string(filled, '#').c_str(), std::string(kBarWidth - filled, '.').c_str(), done, all,
               found);
  std::fflush(stderr);
}

class Scan {
 public:
  Scan(const CommonOptions& options, int from, int to) : options_(options), from_(from), to_(to) {}

  // Probes every station; what answered.
  Result Run(int timeoutUnits) {
    CommonOptions probe = options_;
    probe.station = from_;  // each probe writes its own station file
    ToolRun prober(probe);
    if (!CheckPortName(options_, &result_) || !StartRun(prober, &result_)) return result_;
    prober.SetReadTimeout(timeoutUnits >= 0 ? static_cast<uint32_t>(timeoutUnits)
                                            : ScanTimeoutUnits(prober.Line().line.baudRate));
    for (int station = from_; station <= to_; ++station) {
      if (StopSignal() != 0) {
        result_.status = ExitStatusAfter(StopSignal());
        break;
      }
      if (progress_) DrawProgress(from_, to_, station, found_.size());
      std::string error;
      if (!Probe(prober, station, &error)) return Failure(QVO_STATUS_NO_ANSWER, error);
    }
    if (progress_) std::fprintf(stderr, "\r%*s\r", 70, "");
    std::string list;
    for (int station : found_) list += (list.empty() ? "" : " ") + std::to_string(station);
    result_.lines.push_back(found_.empty() ? "no station answered at " + std::to_string(from_) + "-" +
                                                 std::to_string(to_)
                                           : "stations that answer: " + list);
    if (result_.status == 0) result_.status = found_.empty() ? QVO_STATUS_NO_ANSWER : 0;
    result_.json["status"] = result_.status;
    result_.json["stations"] = Stations();
    if (found_.empty()) result_.json["error"] = result_.lines.back();
    return result_;
  }

 private:
  // A probe as a host makes it: the station file, an open, a read. False
  // when the station file or the open fails: then the scan cannot go on.
  bool Probe(ToolRun& prober, int station, std::string* error) {
    if (!prober.WriteStationFile(station, error) || !prober.Open(error)) return false;
    Point sPoint;
    sPoint.kind = QVO_POINT_S;
    uint16_t value = 0;
    QvoStatus status = QVO_STATUS_NO_ANSWER;
    RunUnlessStopped([&] { status = prober.host().Read(sPoint, &value); }, [&] { TellStopped(station); });
    prober.Close();
    // A refusal is an answer too: something at that address replied.
    if (status != QVO_STATUS_NO_ANSWER) found_.push_back(station);
    return true;
  }

  Json Stations() const {
    Json list = Json::array();
    for (int station : found_) list.push_back(station);
    return list;
  }

  void TellStopped(int station) const {
    if (progress_) std::fprintf(stderr, "\n");
    Result partial = result_;
    partial.status = ExitStatusAfter(StopSignal());
    partial.error = "stopped by a signal at station " + std::to_string(station);
    partial.json["status"] = partial.status;
    partial.json["stations"] = Stations();
    partial.json["error"] = partial.error;
    Print(partial, options_.json);
  }

  const CommonOptions& options_;
  const int from_, to_;
  const bool progress_ = !options_.json && ErrorsGoToTerminal();
  Result result_;
  std::vector<int> found_;
};

}  // namespace

int ScanCommand(CommandLine& line) {
  int from = 0, to = 99, timeoutUnits = -1;  // -1: by the line's rate (ScanTimeoutUnits)
  uint32_t timeoutMs = UINT32_MAX;
  CLI::App& command = line.app();
  const int maxStation = static_cast<int>(qvotk_host::kMaxStation);
  command.add_option("--from", from, "First station address (0)")->check(CLI::Range(0, maxStation));
  command.add_option("--to", to, "Last station address (99)")->check(CLI::Range(0, maxStation));
  auto* units = command
                    .add_option("--station-timeout", timeoutUnits,
                                "Read time-out of each probe, in 10 ms units (by default the S reply's "
                                "time on the wire and 10 ms: 4 at 9600 baud, 10 at 2400; 0 waits for ever)")
                    ->check(CLI::Range(0, static_cast<int>(kLongestTimeoutMs / qvotk_host::kTimeoutUnitMs)));
  command
      .add_option(
          "--station-timeout-ms", timeoutMs,
          "Read time-out of each probe in milliseconds, rounded up to 10 ms (0 waits for ever; at most "
          "a day)")
      ->check(CLI::Range(0u, kLongestTimeoutMs))
      ->excludes(units);
  if (!line.Parse()) return line.status();
  if (timeoutMs != UINT32_MAX) timeoutUnits = static_cast<int>(TimeoutUnitsOf(timeoutMs));
  if (from > to) {
    return line.Report(
        Failure(kExitUsage, "--from " + std::to_string(from) + " is above --to " + std::to_string(to)));
  }
  return line.Report(Scan(line.options(), from, to).Run(timeoutUnits));
}
