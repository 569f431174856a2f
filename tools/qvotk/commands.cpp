#include "commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>

#include "cp437.h"
#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

// Starts a run, or the result that says why not.
bool StartRun(ToolRun& run, Result* failed) {
  std::string error;
  bool usage = false;
  if (run.Start(&error, &usage)) return true;
  *failed = Failure(usage ? kExitUsage : QVO_STATUS_NO_ANSWER, error);
  return false;
}

bool OpenRun(ToolRun& run, Result* failed) {
  std::string error;
  if (run.Open(&error)) return true;
  *failed = Failure(QVO_STATUS_NO_ANSWER, error);
  return false;
}

// One request through the run, timed, with what the port says when it
// failed outright.
struct Timed {
  QvoStatus status;
  std::chrono::duration<double> elapsed;
};

template <typename Request>
Timed Time(Request request) {
  const auto start = Clock::now();
  const QvoStatus status = request();
  return {status, Clock::now() - start};
}

// What a request waits for, said on a terminal after 2 s.
std::string WaitingFor(const ToolRun& run) {
  const LineOptions line = run.Line();
  char text[160];
  if (line.timeoutUnits == 0) {
    std::snprintf(text, sizeof text, "station %u on %s (a read time-out of 0 waits for ever; Ctrl-C ends)",
                  run.host().channel().stationAddress, line.port.c_str());
  } else {
    std::snprintf(text, sizeof text, "station %u on %s (up to %d attempts, %u ms each)",
                  run.host().channel().stationAddress, line.port.c_str(), qvotk_host::kMaxAttempts,
                  line.timeoutUnits * 10);
  }
  return text;
}

// " (3 attempts)" after a value that needed more than one.
std::string AttemptsNote(size_t attempts) {
  return attempts > 1 ? " (" + std::to_string(attempts) + " attempts)" : "";
}

// One point's result, as JSON.
Json PointResult(const Point& point, QvoStatus status, uint16_t value, const std::string& error) {
  Json item;
  item["point"] = PointLabel(point);
  item["status"] = status;
  if (status == QVO_STATUS_OK) {
    item["value"] = value;
  } else {
    item["error"] = error;
  }
  return item;
}

}  // namespace

std::string PointLabel(const Point& point) {
  if (point.kind == QVO_POINT_S) return "S";
  char label[8];
  std::snprintf(label, sizeof label, "%03u", point.number);
  return label;
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

bool CheckPortName(const CommonOptions& options, Result* refused) {
  if (!options.port.empty()) return true;
  *refused = Failure(kExitUsage, "no port given: use --port NAME (for tovek-sim, the name it printed)");
  return false;
}

bool ResolvePoints(ToolRun& run, const std::vector<std::string>& names, std::vector<Point>* points,
                   Result* refused) {
  points->resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (run.host().Validate(names[i], &(*points)[i]) != QVO_STATUS_OK) {
      *refused =
          Failure(kExitUsage, "'" + names[i] + "' is not a point name: use S, or three digits 000-999");
      return false;
    }
  }
  return true;
}

Result RunInfo(const CommonOptions& options) {
  ToolRun run(options);
  Result result;
  if (!StartRun(run, &result)) return result;
  const QvoDriverInfo& info = run.info();
  Json line;
  line["baudRate"] = info.defaultLine.baudRate;
  line["dataBits"] = info.defaultLine.dataBits;
  line["stopBits"] = info.defaultLine.stopBits;
  line["parity"] = info.defaultLine.parity;
  result.json["status"] = 0;
  result.json["driverCode"] = info.driverCode;
  result.json["driverName"] = info.driverName;
  result.json["channelSize"] = info.channelSize;
  result.json["presetA"] = info.presetA;
  result.json["presetB"] = info.presetB;
  result.json["defaultLine"] = line;
  result.json["banner"] = Cp437ToUtf8(info.banner);
  result.lines.push_back(Cp437ForTerminal(info.banner));
  char text[160];
  std::snprintf(text, sizeof text, "driver \"%s\" (code %u), channel record %u bytes, presets %u/%u",
                info.driverName, info.driverCode, info.channelSize, info.presetA, info.presetB);
  result.lines.push_back(text);
  std::snprintf(text, sizeof text, "default line: %u baud, %u data bits, stop bits code %u, parity %s",
                info.defaultLine.baudRate, info.defaultLine.dataBits, info.defaultLine.stopBits,
                qvotk_host::ParityName(info.defaultLine.parity));
  result.lines.push_back(text);
  return result;
}

Result RunCheck(const CommonOptions& options, const std::vector<std::string>& names, int32_t values) {
  ToolRun run(options);
  Result result;
  if (!StartRun(run, &result)) return result;
  Json items = Json::array();
  for (const std::string& name : names) {
    Point point;
    const QvoStatus valid = run.host().Validate(name, &point);
    const QvoStatus block = run.host().CheckBlock(name, values);
    result.status = Worst(result.status, valid);
    Json item;
    item["name"] = name;
    item["status"] = valid;
    item["valid"] = valid == QVO_STATUS_OK;
    item["blockReadable"] = block == QVO_STATUS_OK;
    const std::string quoted = "'" + name + "'";
    char text[160];
    if (valid != QVO_STATUS_OK) {
      item["error"] = "no point name: S, or three digits 000-999";
      std::snprintf(text, sizeof text, "%-10s no point name: S, or three digits 000-999", quoted.c_str());
    } else {
      item["kind"] = point.kind == QVO_POINT_S ? "S" : "numbered";
      if (point.kind != QVO_POINT_S) item["number"] = point.number;
      const std::string kind =
          point.kind == QVO_POINT_S ? "the S point" : "numbered point " + std::to_string(point.number);
      const std::string asBlock =
          block == QVO_STATUS_OK ? ", readable as a block of " + std::to_string(values) : std::string();
      std::snprintf(text, sizeof text, "%-10s %s%s", quoted.c_str(), kind.c_str(), asBlock.c_str());
    }
    result.lines.push_back(text);
    items.push_back(item);
  }
  result.json["status"] = result.status;
  result.json["names"] = items;
  return result;
}

Result RunRead(const CommonOptions& options, const std::vector<std::string>& names) {
  ToolRun run(options);
  Result result;
  std::vector<Point> points;
  // Always an array of result objects, a failure before any request too.
  auto asArray = [](Result found) {
    if (found.json.is_null()) {
      Json failure;
      failure["status"] = found.status;
      failure["error"] = found.error;
      found.json = Json::array({failure});
    }
    return found;
  };
  if (!CheckPortName(options, &result) || !StartRun(run, &result) ||
      !ResolvePoints(run, names, &points, &result) || !OpenRun(run, &result)) {
    return asArray(result);
  }
  // The reads run apart; a signal prints the points read so far.
  Json items = Json::array();
  std::vector<std::string> problems;
  auto known = [&] {
    Result found = result;
    found.json = items;
    for (size_t i = 0; i < problems.size(); ++i) found.error += (i ? "\nqvotk: " : "") + problems[i];
    return found;
  };
  RunUnlessStopped(
      [&] {
        for (const Point& point : points) {
          uint16_t value = 0;
          const Timed answer = Time([&] { return run.host().Read(point, &value); });
          const size_t attempts = run.TakeAttempts("read " + PointLabel(point)).size();
          const JobLock lock;
          result.status = Worst(result.status, answer.status);
          std::string problem;
          if (answer.status == QVO_STATUS_OK) {
            result.lines.push_back(PointLabel(point) + " = " + std::to_string(value) +
                                   AttemptsNote(attempts));
          } else {
            problem = run.Explain("read " + PointLabel(point), answer.status);
            problems.push_back(problem);
          }
          items.push_back(PointResult(point, answer.status, value, problem));
          items.back()["attempts"] = attempts;
          if (answer.status == QVO_STATUS_NO_ANSWER) {
            const std::string failure = run.PortFailure(answer.elapsed);
            if (!failure.empty()) {
              problems.push_back(failure);
              break;
            }
          }
          if (StopSignal() != 0) break;
        }
      },
      [&] {
        const JobLock lock;
        problems.push_back("stopped by a signal while reading");
        Result found = known();
        found.status = ExitStatusAfter(StopSignal());
        Print(found, options.json);
      },
      WaitingFor(run));
  return known();
}

Result RunWrite(const CommonOptions& options, const std::string& name, int value) {
  ToolRun run(options);
  Result result;
  std::vector<Point> points;
  if (!CheckPortName(options, &result) || !StartRun(run, &result) ||
      !ResolvePoints(run, {name}, &points, &result)) {
    return result;
  }
  const Point& point = points[0];
  // What the driver would refuse is refused here, before anything is sent.
  if (!qvotk_host::TakesValue(point.kind == QVO_POINT_S, value)) {
    return Failure(kExitUsage, (point.kind == QVO_POINT_S ? "the S point takes 0-9, not "
                                                          : "numbered points take 1 or 2, not ") +
                                   std::to_string(value));
  }
  if (!OpenRun(run, &result)) return result;
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  size_t attempts = 0;
  RunUnlessStopped(
      [&] {
        status = run.host().Write(point, static_cast<uint16_t>(value));
        attempts = run.TakeAttempts("write " + PointLabel(point)).size();
      },
      [&] {
        Print(Failure(
                  ExitStatusAfter(StopSignal()),
                  "stopped by a signal while writing: the write may or may not have reached the controller"),
              options.json);
      },
      WaitingFor(run));
  result.status = status;
  result.json["point"] = PointLabel(point);
  result.json["status"] = status;
  result.json["value"] = value;  // what was written, or meant to be
  result.json["attempts"] = attempts;
  if (status == QVO_STATUS_OK) {
    result.lines.push_back(PointLabel(point) + " := " + std::to_string(value) + AttemptsNote(attempts));
  } else {
    result.error = run.Explain("write " + PointLabel(point) + " = " + std::to_string(value), status);
    result.json["error"] = result.error;
  }
  return result;
}

Result RunBlock(const CommonOptions& options, int32_t count) {
  ToolRun run(options);
  Result result;
  if (!CheckPortName(options, &result) || !StartRun(run, &result)) return result;
  if (run.host().CheckBlock("001", count) != QVO_STATUS_OK) {
    return Failure(kExitUsage, "a block holds 0 to 255 values, not " + std::to_string(count));
  }
  if (!OpenRun(run, &result)) return result;
  std::vector<uint16_t> values;
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  size_t attempts = 0;
  RunUnlessStopped(
      [&] {
        status = run.host().ReadBlock(count, &values);
        attempts = run.TakeAttempts("block of " + std::to_string(count)).size();
      },
      [&] {
        Print(Failure(ExitStatusAfter(StopSignal()), "stopped by a signal while reading the block"),
              options.json);
      },
      WaitingFor(run));
  result.status = status;
  result.json["count"] = count;
  result.json["status"] = status;
  result.json["attempts"] = attempts;
  if (status == QVO_STATUS_OK) {
    if (attempts > 1) result.lines.push_back("after " + std::to_string(attempts) + " attempts:");
    std::string row;
    for (size_t i = 0; i < values.size(); ++i) {
      row += (i % 16 ? " " : "") + std::to_string(values[i]);
      if (i % 16 == 15 || i + 1 == values.size()) {
        result.lines.push_back(row);
        row.clear();
      }
    }
    if (values.empty()) result.lines.push_back("(no values)");
    result.json["values"] = values;
  } else {
    result.error = run.Explain("block of " + std::to_string(count) + " values", status, true);
    result.json["error"] = result.error;
  }
  return result;
}

Result RunBench(const CommonOptions& options, const std::string& kind, const std::string& name, int requests,
                int32_t blockValues) {
  ToolRun run(options);
  Result result;
  if (!CheckPortName(options, &result) || !StartRun(run, &result)) return result;
  std::vector<Point> points(1);
  points[0].kind = QVO_POINT_S;
  if (kind == "point" && !ResolvePoints(run, {name}, &points, &result)) return result;
  if (!OpenRun(run, &result)) return result;
  const Point& point = points[0];
  std::map<QvoStatus, uint64_t> failures;  // by status
  std::vector<uint16_t> values;
  std::vector<double> okUs;  // per successful request
  std::atomic<int> finished{0};
  double okSeconds = 0;
  // The whole run is one job, so that a request costs no thread of its own;
  // a signal between requests ends it with its figures.
  RunUnlessStopped(
      [&] {
        for (int i = 0; i < requests && StopSignal() == 0; ++i) {
          uint16_t value = 0;
          const Timed answer = Time([&] {
            return kind == "block" ? run.host().ReadBlock(blockValues, &values)
                                   : run.host().Read(point, &value);
          });
          if (answer.status == QVO_STATUS_OK) {
            okUs.push_back(answer.elapsed.count() * 1e6);
            okSeconds += answer.elapsed.count();
          } else {
            ++failures[answer.status];
          }
          finished.store(i + 1);
        }
      },
      [&] {
        Print(Failure(ExitStatusAfter(StopSignal()),
                      "stopped by a signal during request " + std::to_string(finished.load() + 1)),
              options.json);
      });
  const int done = finished.load();
  if (done == 0) return Failure(ExitStatusAfter(StopSignal()), "stopped");

  const uint32_t characters = (kind == "block" ? qvotk_host::BlockFrames(blockValues)
                                               : qvotk_host::ValueFrames(point.kind == QVO_POINT_S, false))
                                  .Both();
  const unsigned baud = run.Line().line.baudRate;
  const double wireUs = qvotk_host::WireMicroseconds(characters, baud);
  const std::string label =
      kind == "block" ? "block of " + std::to_string(blockValues) : "read " + PointLabel(point);
  uint64_t failed = 0;
  std::string failureText;
  Json byStatus = Json::object();
  for (const auto& [status, count] : failures) {
    failed += count;
    byStatus[std::to_string(status)] = count;
    failureText +=
        (failureText.empty() ? "" : ", ") + std::to_string(count) + " with status " + std::to_string(status);
  }
  result.json["request"] = label;
  result.json["requests"] = done;
  result.json["succeeded"] = okUs.size();
  result.json["failedByStatus"] = byStatus;
  result.json["wireCharacters"] = characters;
  result.json["baud"] = baud;
  result.json["wireMicroseconds"] = wireUs;
  char text[360];
  if (!okUs.empty()) {
    // Throughput and times count successful requests only: a failure's time
    // is its time-out, not the line's.
    const double medianUs = Median(okUs);
    const double minUs = *std::min_element(okUs.begin(), okUs.end());
    const double maxUs = *std::max_element(okUs.begin(), okUs.end());
    // The median is the figure to judge the driver by: a mean also carries
    // whatever hiccups the operating system's scheduler had.
    const double ratio = wireUs > 0 ? medianUs / wireUs : 0;
    result.json["requestsPerSecond"] = static_cast<double>(okUs.size()) / okSeconds;
    result.json["minMicroseconds"] = minUs;
    result.json["medianMicroseconds"] = medianUs;
    result.json["maxMicroseconds"] = maxUs;
    result.json["medianToWire"] = ratio;
    std::snprintf(
        text, sizeof text,
        "%-14s %6zu of %d requests succeeded: %9.1f requests/s; per request min %.1f / median %.1f / max "
        "%.1f us; wire time at %u baud (%u characters) %.1f us, median to wire %.3f",
        label.c_str(), okUs.size(), done, static_cast<double>(okUs.size()) / okSeconds, minUs, medianUs,
        maxUs, baud, characters, wireUs, ratio);
  } else {
    std::snprintf(text, sizeof text, "%-14s none of %d requests succeeded", label.c_str(), done);
  }
  result.lines.push_back(text);
  if (failed != 0) {
    result.error =
        std::to_string(failed) + " of " + std::to_string(done) + " requests failed (" + failureText + ")";
    result.json["error"] = result.error;
  }
  result.status = StopSignal() != 0 ? ExitStatusAfter(StopSignal()) : (failed ? QVO_STATUS_NO_ANSWER : 0);
  result.json["status"] = result.status;
  return result;
}

uint32_t ScanTimeoutUnits(uint32_t baudRate) {
  // The S reply's 21 characters on the wire, 10 bits each, and 10 ms for
  // the controller to turn the line around.
  const uint32_t replyMs = baudRate ? (21 * 10 * 1000 + baudRate - 1) / baudRate : 0;
  return (replyMs + 10 + 9) / 10;
}

Result RunScan(const CommonOptions& options, int from, int to, int timeoutUnits) {
  if (from > to)
    return Failure(kExitUsage, "--from " + std::to_string(from) + " is above --to " + std::to_string(to));
  CommonOptions probe = options;
  probe.station = from;  // each probe writes its own station file
  ToolRun prober(probe);
  Result result;
  if (!CheckPortName(options, &result) || !StartRun(prober, &result)) return result;
  prober.SetReadTimeout(timeoutUnits >= 0 ? static_cast<uint32_t>(timeoutUnits)
                                          : ScanTimeoutUnits(prober.Line().line.baudRate));
  const bool progress = !options.json && ErrorsGoToTerminal();
  std::vector<int> found;
  Point sPoint;
  sPoint.kind = QVO_POINT_S;
  auto stations = [&] {
    Json list = Json::array();
    for (int station : found) list.push_back(station);
    return list;
  };
  for (int station = from; station <= to; ++station) {
    if (StopSignal() != 0) {
      result.status = ExitStatusAfter(StopSignal());
      break;
    }
    if (progress) {
      const int done = station - from, all = to - from + 1;
      const int filled = 30 * done / all;
      std::fprintf(stderr, "\rscanning %d-%d [%s%s] %d/%d, found: %zu ", from, to,
                   std::string(filled, '#').c_str(), std::string(30 - filled, '.').c_str(), done, all,
                   found.size());
      std::fflush(stderr);
    }
    // A probe as a host makes it: the station file, an open, a read.
    std::string error;
    if (!prober.WriteStationFile(station, &error) || !prober.Open(&error))
      return Failure(QVO_STATUS_NO_ANSWER, error);
    uint16_t value = 0;
    QvoStatus status = QVO_STATUS_NO_ANSWER;
    RunUnlessStopped([&] { status = prober.host().Read(sPoint, &value); },
                     [&] {
                       if (progress) std::fprintf(stderr, "\n");
                       Result partial = result;
                       partial.status = ExitStatusAfter(StopSignal());
                       partial.error = "stopped by a signal at station " + std::to_string(station);
                       partial.json["status"] = partial.status;
                       partial.json["stations"] = stations();
                       partial.json["error"] = partial.error;
                       Print(partial, options.json);
                     });
    prober.Close();
    // A refusal is an answer too: something at that address replied.
    if (status != QVO_STATUS_NO_ANSWER) found.push_back(station);
  }
  if (progress) std::fprintf(stderr, "\r%*s\r", 70, "");
  std::string list;
  for (int station : found) list += (list.empty() ? "" : " ") + std::to_string(station);
  result.lines.push_back(found.empty()
                             ? "no station answered at " + std::to_string(from) + "-" + std::to_string(to)
                             : "stations that answer: " + list);
  if (result.status == 0) result.status = found.empty() ? QVO_STATUS_NO_ANSWER : 0;
  result.json["status"] = result.status;
  result.json["stations"] = stations();
  if (found.empty()) result.json["error"] = result.lines.back();
  return result;
}
