// qvotk poll: points read round after round, with a live status line for
// people, or one JSON object a round for scripts; a summary at the end,
// also when Ctrl-C or SIGTERM ends it.
#include <algorithm>
#include <chrono>
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

// A point's attempts: a bad line shows in retries before it fails.
struct PointAttempts {
  uint64_t rounds = 0, neededRetry = 0, attempts = 0;
};

struct Tally {
  uint64_t rounds = 0, requests = 0, refused = 0, unanswered = 0, failedRounds = 0;
  std::vector<double> latenciesMs;
  std::vector<std::pair<std::string, PointAttempts>> points;  // in the poll's order

  void CountAttempts(const std::string& point, size_t attempts) {
    auto it = std::find_if(points.begin(), points.end(), [&](const auto& p) { return p.first == point; });
    if (it == points.end()) it = points.insert(points.end(), {point, {}});
    ++it->second.rounds;
    it->second.neededRetry += attempts > 1;
    it->second.attempts += attempts;
  }
  // "S: 10 rounds, 3 needed a retry, 14 attempts in all"
  std::string Attempts() const {
    std::string text;
    for (const auto& [point, counted] : points) {
      text += (text.empty() ? "" : "; ") + point + ": " + std::to_string(counted.rounds) + " rounds, " +
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
      summary["latencyMinMs"] = *std::min_element(latenciesMs.begin(), latenciesMs.end());
      summary["latencyMedianMs"] = Median(latenciesMs);
      summary["latencyMaxMs"] = *std::max_element(latenciesMs.begin(), latenciesMs.end());
    }
    Json attempts = Json::object();
    for (const auto& [point, counted] : points) {
      attempts[point] = {
          {"rounds", counted.rounds}, {"neededRetry", counted.neededRetry}, {"attempts", counted.attempts}};
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

// What the poll runs with, as mbpoll says it before it starts.
std::string Settings(const ToolRun& run, const PollOptions& poll) {
  const LineOptions line = run.Line();
  const char parity = "NOEMS"[line.line.parity <= 4 ? line.line.parity : 0];
  const char* stop = line.line.stopBits == 1 ? "1.5" : line.line.stopBits == 2 ? "2" : "1";
  char text[256];
  std::snprintf(
      text, sizeof text,
      "polling %zu point(s) on %s, station %u, %u baud %u%c%s, read time-out %s, every %d ms; Ctrl-C ends",
      poll.points.size(), line.port.c_str(), run.host().channel().stationAddress, line.line.baudRate,
      line.line.dataBits, parity, stop,
      line.timeoutUnits == 0 ? "none (waits for ever)"
                             : (std::to_string(line.timeoutUnits * 10) + " ms").c_str(),
      poll.intervalMs);
  return text;
}

}  // namespace

int RunPoll(const CommonOptions& options, const PollOptions& poll) {
  ToolRun run(options);
  Result failed;
  std::vector<Point> points;
  std::string error;
  bool usage = false;
  if (!CheckPortName(options, &failed)) {
    Print(failed, options.json);
    return failed.status;
  }
  if (!run.Start(&error, &usage) || !ResolvePoints(run, poll.points, &points, &failed) || !run.Open(&error)) {
    if (failed.status == 0) failed = Failure(usage ? kExitUsage : QVO_STATUS_NO_ANSWER, error);
    Print(failed, options.json);
    return failed.status;
  }
  const bool live = !options.json && OutputIsTerminal();
  if (!options.json) std::printf("%s\n", Settings(run, poll).c_str());
  Tally tally;
  int exitStatus = 0;
  int lastFailure = 0;
  std::string stopReason;
  std::string portTrouble;  // told already
  for (int round = 1; (poll.rounds == 0 || round <= poll.rounds) && StopSignal() == 0; ++round) {
    Json items = Json::array();
    std::string values;
    int roundStatus = 0;
    std::chrono::duration<double> unansweredFor{};
    for (const Point& point : points) {
      uint16_t value = 0;
      const auto start = Clock::now();
      QvoStatus status = QVO_STATUS_NO_ANSWER;
      RunUnlessStopped([&] { status = run.host().Read(point, &value); },
                       [&] {
                         if (live) std::printf("\n");
                         PrintSummary(tally, ExitStatusAfter(StopSignal()), options.json);
                       });
      const std::chrono::duration<double> elapsed = Clock::now() - start;
      const size_t attempts = run.TakeAttempts("read " + PointLabel(point)).size();
      tally.CountAttempts(PointLabel(point), attempts);
      tally.latenciesMs.push_back(elapsed.count() * 1000);
      ++tally.requests;
      tally.refused += status == QVO_STATUS_REJECTED;
      tally.unanswered += status == QVO_STATUS_NO_ANSWER;
      if (status == QVO_STATUS_NO_ANSWER) unansweredFor = elapsed;
      roundStatus = Worst(roundStatus, status);
      Json item;
      item["point"] = PointLabel(point);
      item["status"] = status;
      item["attempts"] = attempts;
      if (status == QVO_STATUS_OK) {
        item["value"] = value;
        values += PointLabel(point) + "=" + std::to_string(value) + " ";
      } else {
        item["error"] = Reason(status);
        values += PointLabel(point) + "=? (" + Reason(status) + ") ";
      }
      items.push_back(item);
    }
    ++tally.rounds;
    if (options.json) {
      Json line;
      line["round"] = round;
      line["time"] = UtcNow();
      line["points"] = items;
      line["status"] = roundStatus;
      std::printf("%s\n", JsonLine(line).c_str());
    } else if (live) {
      std::printf("\r%s", tally.StatusLine(values).c_str());
    } else {
      std::printf("%s| %s | %s\n", values.c_str(), tally.Counts().c_str(), tally.Latency().c_str());
    }
    std::fflush(stdout);
    if (roundStatus != 0) {
      ++tally.failedRounds;
      lastFailure = roundStatus;
    }
    // A port that has gone (an adapter pulled) is told once; polling goes
    // on, and the driver opens the port again when it is back.
    if (roundStatus == QVO_STATUS_NO_ANSWER) {
      const std::string why = run.PortFailure(unansweredFor);
      if (!why.empty() && why != portTrouble) {
        std::fprintf(stderr, "%sqvotk: %s; polling on until it is back\n", live ? "\n" : "", why.c_str());
      }
      if (!why.empty()) portTrouble = why;
    } else if (roundStatus == QVO_STATUS_OK) {
      portTrouble.clear();
    }
    if (poll.maxFailures > 0 && tally.failedRounds >= static_cast<uint64_t>(poll.maxFailures)) {
      stopReason = std::to_string(tally.failedRounds) + " rounds failed (--max-failures)";
      exitStatus = lastFailure;
      break;
    }
    if (poll.rounds == 0 || round < poll.rounds) PauseUnlessStopped(poll.intervalMs);
  }
  if (live) std::printf("\n");
  if (StopSignal() != 0) exitStatus = ExitStatusAfter(StopSignal());
  if (!stopReason.empty()) std::fprintf(stderr, "qvotk: %s\n", stopReason.c_str());
  if (exitStatus == 0)
    exitStatus = tally.unanswered ? QVO_STATUS_NO_ANSWER : (tally.refused ? QVO_STATUS_REJECTED : 0);
  PrintSummary(tally, exitStatus, options.json);
  return exitStatus;
}
