// qvotk bench: requests back to back, their rate and times against the
// time the frames take on the wire.
#include <algorithm>
#include <cstdio>
#include <map>

#include "commands.h"
#include "stop_signals.h"

namespace {

struct BenchOptions {
  std::string kind = "s";  // "s", "point" or "block"
  std::string point = "001";
  int requests = 100;
  int32_t blockValues = qvotk_host::kMaxBlockValues;
};

// What the requests gave, as they went.
struct BenchTally {
  std::map<QvoStatus, uint64_t> failures;  // by status
  std::vector<double> okUs;                // per successful request
  double okSeconds = 0;
  int finished = 0;
};

Result Figures(const ToolRun& run, const BenchOptions& bench, const Point& point, const BenchTally& tally);

// The requests, as one job, so that a request costs no thread of its own;
// a signal ends it with the figures so far.
void MakeRequests(ToolRun& run, const BenchOptions& bench, const Point& point, BenchTally* tally) {
  std::vector<uint16_t> values;
  RunUnlessStopped(
      [&] {
        for (int i = 0; i < bench.requests && StopSignal() == 0; ++i) {
          uint16_t value = 0;
          const Timed answer = Time([&] {
            return bench.kind == "block" ? run.host().ReadBlock(bench.blockValues, &values)
                                         : run.host().Read(point, &value);
          });
          const JobLock lock;
          if (answer.status == QVO_STATUS_OK) {
            tally->okUs.push_back(answer.elapsed.count() * 1e6);
            tally->okSeconds += answer.elapsed.count();
          } else {
            ++tally->failures[answer.status];
          }
          tally->finished = i + 1;
        }
      },
      [&] {
        const JobLock lock;
        // Figures says it was stopped, after the requests that finished.
        Print(tally->finished == 0 ? Failure(ExitStatusAfter(StopSignal()), "stopped by a signal")
                                   : Figures(run, bench, point, *tally),
              run.options().json);
      });
}

// The failed requests, counted by status: "2 with status 2, ..."; their count.
uint64_t DescribeFailures(const BenchTally& tally, Result* result) {
  uint64_t failed = 0;
  std::string text;
  Json byStatus = Json::object();
  for (const auto& [status, count] : tally.failures) {
    failed += count;
    byStatus[std::to_string(status)] = count;
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " with status " + std::to_string(status);
  }
  result->json["failedByStatus"] = byStatus;
  const int done = tally.finished;
  if (failed != 0)
    result->error =
        std::to_string(failed) + " of " + std::to_string(done) + " requests failed (" + text + ")";
  return failed;
}

// The times of the successful requests against the wire time. Throughput
// and times count them only: a failure's time is its time-out, not the
// line's. The median is the figure to judge the driver by: a mean also
// carries whatever hiccups the operating system's scheduler had.
std::string DescribeTimes(const std::string& label, const BenchTally& tally, uint32_t characters,
                          unsigned baud, Result* result) {
  const int done = tally.finished;
  const double wireUs = qvotk_host::WireMicroseconds(characters, baud);
  char text[360];
  if (tally.okUs.empty()) {
    std::snprintf(text, sizeof text, "%-14s none of %d requests succeeded", label.c_str(), done);
    return text;
  }
  const double medianUs = Median(tally.okUs);
  const double minUs = *std::min_element(tally.okUs.begin(), tally.okUs.end());
  const double maxUs = *std::max_element(tally.okUs.begin(), tally.okUs.end());
  const double ratio = wireUs > 0 ? medianUs / wireUs : 0;
  const double perSecond = static_cast<double>(tally.okUs.size()) / tally.okSeconds;
  result->json["requestsPerSecond"] = JsonFigure(perSecond, 1);
  result->json["minMicroseconds"] = JsonFigure(minUs, 0);
  result->json["medianMicroseconds"] = JsonFigure(medianUs, 0);
  result->json["maxMicroseconds"] = JsonFigure(maxUs, 0);
  result->json["medianToWire"] = JsonFigure(ratio, 3);
  std::snprintf(text, sizeof text,
                "%-14s %6zu of %d requests succeeded: %9.1f requests/s; per request min %.1f / median %.1f / "
                "max %.1f ms; wire time at %u baud (%u characters) %.1f ms, median to wire %.3f",
                label.c_str(), tally.okUs.size(), done, perSecond, minUs / 1000, medianUs / 1000,
                maxUs / 1000, baud, characters, wireUs / 1000, ratio);
  return text;
}

Result Figures(const ToolRun& run, const BenchOptions& bench, const Point& point, const BenchTally& tally) {
  const bool block = bench.kind == "block";
  const uint32_t characters = (block ? qvotk_host::BlockFrames(bench.blockValues)
                                     : qvotk_host::ValueFrames(point.kind == QVO_POINT_S, false))
                                  .Both();
  const unsigned baud = run.Line().line.baudRate;
  const std::string label =
      block ? "block of " + std::to_string(bench.blockValues) : "read " + PointLabel(point);
  Result result;
  result.json["request"] = label;
  result.json["requests"] = tally.finished;
  result.json["succeeded"] = tally.okUs.size();
  const uint64_t failed = DescribeFailures(tally, &result);
  result.json["wireCharacters"] = characters;
  result.json["baud"] = baud;
  result.json["wireMicroseconds"] = JsonFigure(qvotk_host::WireMicroseconds(characters, baud), 0);
  result.lines.push_back(DescribeTimes(label, tally, characters, baud, &result));
  if (StopSignal() != 0) {
    const std::string stopped = "stopped by a signal after " + std::to_string(tally.finished) + " requests";
    result.error = result.error.empty() ? stopped : stopped + "; " + result.error;
  }
  if (!result.error.empty()) result.json["error"] = result.error;
  result.status = StopSignal() != 0 ? ExitStatusAfter(StopSignal()) : (failed ? QVO_STATUS_NO_ANSWER : 0);
  result.json["status"] = result.status;
  return result;
}

Result Bench(const CommonOptions& options, const BenchOptions& bench) {
  ToolRun run(options);
  Result result;
  if (!CheckPortName(options, &result) || !StartRun(run, &result)) return result;
  std::vector<Point> points(1);
  points[0].kind = QVO_POINT_S;
  if (bench.kind == "point" && !ResolvePoints(run, {bench.point}, &points, &result)) return result;
  if (!OpenRun(run, &result)) return result;
  BenchTally tally;
  MakeRequests(run, bench, points[0], &tally);
  if (tally.finished == 0) return Failure(ExitStatusAfter(StopSignal()), "stopped");
  return Figures(run, bench, points[0], tally);
}

}  // namespace

int BenchCommand(CommandLine& line) {
  BenchOptions bench;
  CLI::App& command = line.app();
  command.add_option("-k,--kind", bench.kind, "s, point or block (s)")
      ->check(CLI::IsMember({"s", "point", "block"}));
  command.add_option("--point", bench.point, "The point of --kind point (001)");
  command.add_option("-n,--count,--requests", bench.requests, "Requests (100)")
      ->check(CLI::Range(1, 100000000));
  command.add_option("--values", bench.blockValues, "Values of --kind block, 0-255 (255)")
      ->check(CLI::Range(0, qvotk_host::kMaxBlockValues));
  if (!line.Parse()) return line.status();
  return line.Report(Bench(line.options(), bench));
}
