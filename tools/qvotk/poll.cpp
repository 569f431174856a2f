// qvotk poll: points read round after round, with a live status line for
// people, or one JSON object a round for scripts; a summary at the end,
// also when Ctrl-C or SIGTERM ends it.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <thread>

#include "commands.h"
#include "line_watch/capture_file.h"
#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

// The status line fits a terminal of 80 columns.
constexpr size_t kStatusLineWidth = 79;

std::string UtcNow() {
  return line_watch::UtcText(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count());
}

// A pause that a stop request cuts short.
void PauseUnlessStopped(int milliseconds) {
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (StopSignal() == 0 && Clock::now() < end) {
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(20)));
  }
}

// Why a point failed, in a word or two.
const char* Reason(QvoStatus status) { return status == QVO_STATUS_REJECTED ? "refused" : "no answer"; }

// A point's attempts: a bad line shows in retries before it fails. Its
// reads, not rounds: a round a signal cut short read some points only.
struct PointAttempts {
  uint64_t reads = 0, neededRetry = 0, attempts = 0;
};

struct Tally {
  uint64_t rounds = 0, requests = 0, refused = 0, unanswered = 0, failedRounds = 0;
  std::vector<double> latenciesMs;
  std::vector<std::pair<std::string, PointAttempts>> points;  // in the poll's order

  void CountAttempts(const std::string& point, size_t attempts) {
    auto it = std::find_if(points.begin(), points.end(), [&](const auto& p) { return p.first == point; });
    if (it == points.end()) it = points.insert(points.end(), {point, {}});
    ++it->second.reads;
    it->second.neededRetry += attempts > 1;
    it->second.attempts += attempts;
  }
  // "S: 10 reads, 3 needed a retry, 14 attempts in all"
  std::string Attempts() const {
    std::string text;
    for (const auto& [point, counted] : points) {
      text += (text.empty() ? "" : "; ") + point + ": " + std::to_string(counted.reads) + " reads, " +
              std::to_string(counted.neededRetry) + " needed a retry, " + std::to_string(counted.attempts) +
              " attempts in all";
    }
    return text;
  }

  std::string Latency() const {
    if (latenciesMs.empty()) return "latency -";
    char text[96];
    std::snprintf(text, sizeof text, "latency min %.1f / median %.1f / max %.1f ms",
                  *std::min_element(latenciesMs.begin(), latenciesMs.end()), Median(latenciesMs),
                  *std::max_element(latenciesMs.begin(), latenciesMs.end()));
    return text;
  }
  std::string Counts() const {
    return std::to_string(rounds) + " rounds, " + std::to_string(requests) + " requests, " +
           std::to_string(refused) + " refused, " + std::to_string(unanswered) + " unanswered";
  }
  // The live line: the values, the round, the failures, the median.
  std::string StatusLine(const std::string& values) const {
    char tail[96];
    std::snprintf(tail, sizeof tail, "| #%llu, %llu failed | %.1f ms",
                  static_cast<unsigned long long>(rounds),
                  static_cast<unsigned long long>(refused + unanswered), Median(latenciesMs));
    const size_t room = kStatusLineWidth - std::min(kStatusLineWidth, std::string(tail).size() + 1);
    std::string shown = values.size() <= room ? values : values.substr(0, room - 3) + "...";
    shown.resize(room, ' ');
    return shown + " " + tail;
  }
  Json Summary() const {
    Json summary;
    summary["rounds"] = rounds;
    summary["requests"] = requests;
    summary["refused"] = refused;
    summary["unanswered"] = unanswered;
    summary["failedRounds"] = failedRounds;
    if (!latenciesMs.empty()) {
      summary["latencyMinMs"] = JsonFigure(*std::min_element(latenciesMs.begin(), latenciesMs.end()), 3);
      summary["latencyMedianMs"] = JsonFigure(Median(latenciesMs), 3);
      summary["latencyMaxMs"] = JsonFigure(*std::max_element(latenciesMs.begin(), latenciesMs.end()), 3);
    }
    Json attempts = Json::object();
    for (const auto& [point, counted] : points) {
      attempts[point] = {
          {"reads", counted.reads}, {"neededRetry", counted.neededRetry}, {"attempts", counted.attempts}};
    }
    summary["attempts"] = attempts;
    return summary;
  }
};

void PrintSummary(const Tally& tally, int status, bool json) {
  if (json) {
    Json summary;
    summary["summary"] = tally.Summary();
    summary["status"] = status;
    std::printf("%s\n", JsonLine(summary).c_str());
  } else {
    std::printf("summary: %s; %s\n", tally.Counts().c_str(), tally.Latency().c_str());
    if (!tally.points.empty()) std::printf("attempts: %s\n", tally.Attempts().c_str());
  }
  std::fflush(stdout);
}

struct PollOptions {
  std::vector<std::string> points;
  int intervalMs = 500;
  int rounds = 0;       // 0: until stopped
  int maxFailures = 0;  // 0: never stop for failures
};

// What the poll runs with, as mbpoll says it before it starts.
std::string Settings(const ToolRun& run, const PollOptions& poll) {
  const LineOptions line = run.Line();
  const char parity = "NOEMS"[line.line.parity <= 4 ? line.line.parity : 0];
  const char* stop = line.line.stopBits == 1 ? "1.5" : line.line.stopBits == 2 ? "2" : "1";
  char text[256];
  std::snprintf(
      text, sizeof text,
      "polling %zu point(s) on %s, station %u, %u baud %u%c%s, read time-out %s, every %d ms; Ctrl-C ends",
      poll.points.size(), run.options().port.c_str(), run.host().channel().stationAddress, line.line.baudRate,
      line.line.dataBits, parity, stop,
      line.timeoutUnits == 0
          ? "none (waits for ever)"
          : (std::to_string(line.timeoutUnits * qvotk_host::kTimeoutUnitMs) + " ms").c_str(),
      poll.intervalMs);
  return text;
}

// One round: each point's result, the values as the status line shows
// them, and the worst status.
struct Round {
  Json items = Json::array();
  std::string values;
  int status = 0;
  std::chrono::duration<double> unansweredFor{};  // the last unanswered request's time
};

class Poller {
 public:
  Poller(ToolRun& run, const PollOptions& poll, bool json)
      : run_(run), poll_(poll), json_(json), live_(!json && OutputIsTerminal()) {}

  // Rounds until the count, a signal or --max-failures ends them; the
  // exit status, after the summary.
  int Run(const std::vector<Point>& points) {
    if (!json_) std::printf("%s\n", Settings(run_, poll_).c_str());
    int exitStatus = 0, lastFailure = 0;
    std::string stopReason;
    for (int number = 1; (poll_.rounds == 0 || number <= poll_.rounds) && StopSignal() == 0; ++number) {
      Round round;
      for (const Point& point : points) ReadPoint(point, &round);
      ++tally_.rounds;
      PrintRound(number, round);
      if (round.status != 0) {
        ++tally_.failedRounds;
        lastFailure = round.status;
      }
      TellPortTrouble(round);
      if (poll_.maxFailures > 0 && tally_.failedRounds >= static_cast<uint64_t>(poll_.maxFailures)) {
        stopReason = std::to_string(tally_.failedRounds) + " rounds failed (--max-failures)";
        exitStatus = lastFailure;
        break;
      }
      if (poll_.rounds == 0 || number < poll_.rounds) PauseUnlessStopped(poll_.intervalMs);
    }
    if (live_) std::printf("\n");
    if (StopSignal() != 0) exitStatus = ExitStatusAfter(StopSignal());
    if (!stopReason.empty()) std::fprintf(stderr, "qvotk: %s\n", stopReason.c_str());
    if (exitStatus == 0)
      exitStatus = tally_.unanswered ? QVO_STATUS_NO_ANSWER : (tally_.refused ? QVO_STATUS_REJECTED : 0);
    PrintSummary(tally_, exitStatus, json_);
    return exitStatus;
  }

 private:
  void ReadPoint(const Point& point, Round* round) {
    const std::string label = PointLabel(point);
    uint16_t value = 0;
    QvoStatus status = QVO_STATUS_NO_ANSWER;
    const auto start = Clock::now();
    RunUnlessStopped([&] { status = run_.host().Read(point, &value); },
                     [&] {
                       if (live_) std::printf("\n");
                       PrintSummary(tally_, ExitStatusAfter(StopSignal()), json_);
                     });
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    const size_t attempts = run_.TakeAttempts("read " + label).size();
    tally_.CountAttempts(label, attempts);
    tally_.latenciesMs.push_back(elapsed.count() * 1000);
    ++tally_.requests;
    tally_.refused += status == QVO_STATUS_REJECTED;
    tally_.unanswered += status == QVO_STATUS_NO_ANSWER;
    if (status == QVO_STATUS_NO_ANSWER) round->unansweredFor = elapsed;
    round->status = Worst(round->status, status);
    Json item;
    item["point"] = label;
    item["status"] = status;
    item["attempts"] = attempts;
    if (status == QVO_STATUS_OK) {
      item["value"] = value;
      round->values += label + "=" + std::to_string(value) + " ";
    } else {
      item["error"] = Reason(status);
      round->values += label + "=? (" + Reason(status) + ") ";
    }
    round->items.push_back(item);
  }

  void PrintRound(int number, const Round& round) const {
    if (json_) {
      Json line;
      line["round"] = number;
      line["time"] = UtcNow();
      line["points"] = round.items;
      line["status"] = round.status;
      std::printf("%s\n", JsonLine(line).c_str());
    } else if (live_) {
      std::printf("\r%s", tally_.StatusLine(round.values).c_str());
      NoteStatusLine();
    } else {
      std::printf("%s| %s | %s\n", round.values.c_str(), tally_.Counts().c_str(), tally_.Latency().c_str());
    }
    std::fflush(stdout);
  }

  // A port that has gone (an adapter pulled) is told once; polling goes
  // on, and the driver opens the port again when it is back.
  void TellPortTrouble(const Round& round) {
    if (round.status == QVO_STATUS_NO_ANSWER) {
      const std::string why = run_.PortFailure(round.unansweredFor);
      if (!why.empty() && why != portTrouble_) {
        std::fprintf(stderr, "%sqvotk: %s; polling on until it is back\n", live_ ? "\n" : "", why.c_str());
      }
      if (!why.empty()) portTrouble_ = why;
    } else if (round.status == QVO_STATUS_OK) {
      portTrouble_.clear();
    }
  }

  ToolRun& run_;
  const PollOptions& poll_;
  const bool json_;
  const bool live_;  // a status line that redraws itself
  Tally tally_;
  std::string portTrouble_;  // told already
};

int Poll(const CommonOptions& options, const PollOptions& poll) {
  ToolRun run(options);
  Result failed;
  std::vector<Point> points;
  if (!CheckPortName(options, &failed) || !StartRun(run, &failed) ||
      !ResolvePoints(run, poll.points, &points, &failed) || !OpenRun(run, &failed)) {
    Print(failed, options.json);
    return failed.status;
  }
  return Poller(run, poll, options.json).Run(points);
}

}  // namespace

int PollCommand(CommandLine& line) {
  PollOptions poll;
  CLI::App& command = line.app();
  command.add_option("points", poll.points, "Point names")->required();
  command.add_option("-i,--interval-ms", poll.intervalMs, "Pause between rounds in ms (500)")
      ->check(CLI::Range(0, INT_MAX));
  command.add_option("-n,-c,--count", poll.rounds, "Rounds (until stopped)")->check(CLI::Range(1, INT_MAX));
  command
      .add_option("--max-failures", poll.maxFailures,
                  "Stop after this many failed rounds, with the last one's status")
      ->check(CLI::Range(1, INT_MAX));
  if (!line.Parse()) return line.status();
  return Poll(line.options(), poll);
}
