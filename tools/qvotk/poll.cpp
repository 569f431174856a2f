// qvotk poll: points read round after round, with a live status line for
// people, or one JSON object a round for scripts; a summary at the end,
// also when Ctrl-C or SIGTERM ends it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "commands.h"
#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char withMs[48];
  std::snprintf(withMs, sizeof withMs, "%s.%03dZ", text, static_cast<int>(ms));
  return withMs;
}

// A pause that a stop request cuts short.
void PauseUnlessStopped(int milliseconds) {
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (StopSignal() == 0 && Clock::now() < end) {
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(20)));
  }
}

struct Tally {
  uint64_t rounds = 0, requests = 0, refused = 0, unanswered = 0, failedRounds = 0;
  std::vector<double> latenciesMs;

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
  std::string Json() const {
    JsonObject summary;
    summary.Add("rounds", static_cast<int64_t>(rounds))
        .Add("requests", static_cast<int64_t>(requests))
        .Add("refused", static_cast<int64_t>(refused))
        .Add("unanswered", static_cast<int64_t>(unanswered))
        .Add("failedRounds", static_cast<int64_t>(failedRounds));
    if (!latenciesMs.empty()) {
      summary.Add("latencyMinMs", *std::min_element(latenciesMs.begin(), latenciesMs.end()))
          .Add("latencyMedianMs", Median(latenciesMs))
          .Add("latencyMaxMs", *std::max_element(latenciesMs.begin(), latenciesMs.end()));
    }
    return JsonObject().AddRaw("summary", summary.Text()).Text();
  }
};

void PrintSummary(const Tally& tally, bool json) {
  if (json) {
    std::printf("%s\n", tally.Json().c_str());
  } else {
    std::printf("summary: %s; %s\n", tally.Counts().c_str(), tally.Latency().c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int RunPoll(const CommonOptions& options, const PollOptions& poll) {
  ToolRun session(options);
  Result failed;
  std::vector<Point> points;
  std::string error;
  if (!CheckPortName(options, &failed)) {
    Print(failed, options.json);
    return failed.status;
  }
  if (!session.Start(&error) || !ResolvePoints(session, poll.points, &points, &failed) ||
      !session.Open(&error)) {
    if (failed.status == 0) failed = Failure(QVO_STATUS_NO_ANSWER, error);
    Print(failed, options.json);
    return failed.status;
  }
  const bool live = !options.json && IsTerminal(stdout);
  Tally tally;
  int exitStatus = 0;
  int lastFailure = 0;
  std::string stopReason;
  std::string portTrouble;  // told already
  for (int round = 1; (poll.rounds == 0 || round <= poll.rounds) && StopSignal() == 0; ++round) {
    std::vector<std::string> items;
    std::string line;
    int roundStatus = 0;
    std::chrono::duration<double> unansweredFor{};
    for (const Point& point : points) {
      uint16_t value = 0;
      const auto start = Clock::now();
      QvoStatus status = QVO_STATUS_NO_ANSWER;
      RunUnlessStopped([&] { status = session.host().Read(point, &value); },
                       [&] {
                         if (live) std::printf("\n");
                         PrintSummary(tally, options.json);
                       });
      const std::chrono::duration<double> elapsed = Clock::now() - start;
      tally.latenciesMs.push_back(elapsed.count() * 1000);
      ++tally.requests;
      tally.refused += status == QVO_STATUS_REJECTED;
      tally.unanswered += status == QVO_STATUS_NO_ANSWER;
      if (status == QVO_STATUS_NO_ANSWER) unansweredFor = elapsed;
      roundStatus = Worst(roundStatus, status);
      JsonObject item;
      item.Add("point", PointLabel(point)).Add("status", static_cast<int64_t>(status));
      if (status == QVO_STATUS_OK) item.Add("value", static_cast<int64_t>(value));
      items.push_back(item.Text());
      line += PointLabel(point) + "=" + (status == QVO_STATUS_OK ? std::to_string(value) : "?") + " ";
    }
    ++tally.rounds;
    if (options.json) {
      std::printf("%s\n", JsonObject()
                              .Add("round", static_cast<int64_t>(round))
                              .Add("time", UtcNow())
                              .AddRaw("points", JsonArray(items))
                              .Add("status", static_cast<int64_t>(roundStatus))
                              .Text()
                              .c_str());
    } else {
      std::printf("%s%s| %s | %s%s", live ? "\r" : "", line.c_str(), tally.Counts().c_str(),
                  tally.Latency().c_str(), live ? "  " : "\n");
    }
    std::fflush(stdout);
    if (roundStatus != 0) {
      ++tally.failedRounds;
      lastFailure = roundStatus;
    }
    // A port that has gone (an adapter pulled) is told once; polling goes
    // on, and the driver opens the port again when it is back.
    if (roundStatus == QVO_STATUS_NO_ANSWER) {
      const std::string why = session.PortFailure(unansweredFor);
      if (!why.empty() && why != portTrouble) {
        std::fprintf(stderr, "qvotk: %s; polling on until it is back\n", why.c_str());
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
  PrintSummary(tally, options.json);
  if (exitStatus != 0) return exitStatus;
  return tally.unanswered ? QVO_STATUS_NO_ANSWER : (tally.refused ? QVO_STATUS_REJECTED : 0);
}
