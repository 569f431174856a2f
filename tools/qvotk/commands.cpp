#include "commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "cp437.h"
#include "stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

// Starts a session, or the result that says why not.
bool StartSession(ToolRun& session, Result* failed) {
  std::string error;
  if (session.Start(&error)) return true;
  *failed = Failure(QVO_STATUS_NO_ANSWER, error);
  return false;
}

bool OpenSession(ToolRun& session, Result* failed) {
  std::string error;
  if (session.Open(&error)) return true;
  *failed = Failure(QVO_STATUS_NO_ANSWER, error);
  return false;
}

// One request through the session, timed, with what the port says when it
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
  if (options.port.empty()) {
    *refused = Failure(kExitUsage, "no port given: use --port NAME (for tovek-sim, the name it printed)");
    return false;
  }
  if (options.port.size() >= QVO_PORT_NAME_SIZE) {
    *refused = Failure(kExitUsage, "port names hold at most 11 characters, '" + options.port + "' has " +
                                       std::to_string(options.port.size()) +
                                       ": give the device a short symbolic link (see the README)");
    return false;
  }
  return true;
}

bool ResolvePoints(ToolRun& session, const std::vector<std::string>& names, std::vector<Point>* points,
                   Result* refused) {
  points->resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (session.host().Validate(names[i], &(*points)[i]) != QVO_STATUS_OK) {
      *refused =
          Failure(kExitUsage, "'" + names[i] + "' is not a point name: use S, or three digits 000-999");
      return false;
    }
  }
  return true;
}

Result RunInfo(const CommonOptions& options) {
  ToolRun session(options);
  Result result;
  if (!StartSession(session, &result)) return result;
  const QvoDriverInfo& info = session.info();
  JsonObject line;
  line.Add("baudRate", static_cast<int64_t>(info.defaultLine.baudRate))
      .Add("dataBits", static_cast<int64_t>(info.defaultLine.dataBits))
      .Add("stopBits", static_cast<int64_t>(info.defaultLine.stopBits))
      .Add("parity", static_cast<int64_t>(info.defaultLine.parity));
  result.json = JsonObject()
                    .Add("driverCode", static_cast<int64_t>(info.driverCode))
                    .Add("driverName", info.driverName)
                    .Add("channelSize", static_cast<int64_t>(info.channelSize))
                    .Add("presetA", static_cast<int64_t>(info.presetA))
                    .Add("presetB", static_cast<int64_t>(info.presetB))
                    .AddRaw("defaultLine", line.Text())
                    .Add("banner", Cp437ToUtf8(info.banner))
                    .Text();
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

Result RunCheck(const CommonOptions& options, const std::vector<std::string>& names, int32_t count) {
  ToolRun session(options);
  Result result;
  if (!StartSession(session, &result)) return result;
  std::vector<std::string> items;
  for (const std::string& name : names) {
    Point point;
    const QvoStatus valid = session.host().Validate(name, &point);
    const QvoStatus block = session.host().CheckBlock(name, count);
    result.status = Worst(result.status, valid);
    JsonObject item;
    item.Add("name", name).Add("valid", valid == QVO_STATUS_OK).Add("blockReadable", block == QVO_STATUS_OK);
    const std::string quoted = "'" + name + "'";
    char text[160];
    if (valid != QVO_STATUS_OK) {
      std::snprintf(text, sizeof text, "%-10s invalid", quoted.c_str());
    } else {
      item.Add("kind", point.kind == QVO_POINT_S ? "S" : "numbered");
      if (point.kind != QVO_POINT_S) item.Add("number", static_cast<int64_t>(point.number));
      const std::string kind =
          point.kind == QVO_POINT_S ? "S point" : "numbered point " + std::to_string(point.number);
      const std::string asBlock =
          block == QVO_STATUS_OK ? ", readable as a block of " + std::to_string(count) : std::string();
      std::snprintf(text, sizeof text, "%-10s %s%s", quoted.c_str(), kind.c_str(), asBlock.c_str());
    }
    result.lines.push_back(text);
    items.push_back(item.Text());
  }
  result.json = JsonArray(items);
  return result;
}

Result RunRead(const CommonOptions& options, const std::vector<std::string>& names) {
  ToolRun session(options);
  Result result;
  std::vector<Point> points;
  if (!CheckPortName(options, &result) || !StartSession(session, &result) ||
      !ResolvePoints(session, names, &points, &result) || !OpenSession(session, &result)) {
    return result;
  }
  // The reads run apart; a signal prints the points read so far.
  std::vector<std::string> items;
  std::vector<std::string> problems;
  auto known = [&] {
    Result found = result;
    found.json = JsonArray(items);
    for (size_t i = 0; i < problems.size(); ++i) found.error += (i ? "\nqvotk: " : "") + problems[i];
    return found;
  };
  RunUnlessStopped(
      [&] {
        for (const Point& point : points) {
          uint16_t value = 0;
          const Timed answer = Time([&] { return session.host().Read(point, &value); });
          const JobLock lock;
          result.status = Worst(result.status, answer.status);
          JsonObject item;
          item.Add("point", PointLabel(point)).Add("status", static_cast<int64_t>(answer.status));
          if (answer.status == QVO_STATUS_OK) {
            item.Add("value", static_cast<int64_t>(value));
            result.lines.push_back(PointLabel(point) + " = " + std::to_string(value));
          } else {
            problems.push_back(session.Explain("read " + PointLabel(point), answer.status));
            item.Add("error", problems.back());
          }
          items.push_back(item.Text());
          if (answer.status == QVO_STATUS_NO_ANSWER) {
            const std::string failure = session.PortFailure(answer.elapsed);
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
      });
  return known();
}

Result RunWrite(const CommonOptions& options, const std::string& name, int value) {
  ToolRun session(options);
  Result result;
  std::vector<Point> points;
  if (!CheckPortName(options, &result) || !StartSession(session, &result) ||
      !ResolvePoints(session, {name}, &points, &result)) {
    return result;
  }
  const Point& point = points[0];
  // What the driver would refuse is refused here, before anything is sent.
  if (point.kind == QVO_POINT_S && value > 9) {
    return Failure(kExitUsage, "the S point takes 0-9, not " + std::to_string(value));
  }
  if (point.kind == QVO_POINT_NUMBERED && value != 1 && value != 2) {
    return Failure(kExitUsage, "numbered points take 1 or 2, not " + std::to_string(value));
  }
  if (!OpenSession(session, &result)) return result;
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  RunUnlessStopped([&] { status = session.host().Write(point, static_cast<uint16_t>(value)); },
                   [&] {
                     Print(Failure(ExitStatusAfter(StopSignal()),
                                   "stopped by a signal while writing: "
                                   "the write may or may not have reached "
                                   "the controller"),
                           options.json);
                   });
  result.status = status;
  JsonObject out;
  out.Add("point", PointLabel(point))
      .Add("value", static_cast<int64_t>(value))
      .Add("status", static_cast<int64_t>(status));
  if (status == QVO_STATUS_OK) {
    result.lines.push_back(PointLabel(point) + " := " + std::to_string(value));
  } else {
    result.error = session.Explain("write " + PointLabel(point) + " = " + std::to_string(value), status);
    out.Add("error", result.error);
  }
  result.json = out.Text();
  return result;
}

Result RunBlock(const CommonOptions& options, int32_t count) {
  ToolRun session(options);
  Result result;
  if (!CheckPortName(options, &result) || !StartSession(session, &result)) return result;
  if (session.host().CheckBlock("001", count) != QVO_STATUS_OK) {
    return Failure(kExitUsage, "a block holds 0 to 255 values, not " + std::to_string(count));
  }
  if (!OpenSession(session, &result)) return result;
  std::vector<uint16_t> values;
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  RunUnlessStopped(
      [&] { status = session.host().ReadBlock(count, &values); },
      [&] {
        Print(Failure(ExitStatusAfter(StopSignal()), "stopped by a signal while reading the block"),
              options.json);
      });
  result.status = status;
  JsonObject out;
  out.Add("count", static_cast<int64_t>(count)).Add("status", static_cast<int64_t>(status));
  if (status == QVO_STATUS_OK) {
    std::vector<std::string> items;
    std::string row;
    for (size_t i = 0; i < values.size(); ++i) {
      items.push_back(std::to_string(values[i]));
      row += (i % 16 ? " " : "") + items.back();
      if (i % 16 == 15 || i + 1 == values.size()) {
        result.lines.push_back(row);
        row.clear();
      }
    }
    if (values.empty()) result.lines.push_back("(no values)");
    out.AddRaw("values", JsonArray(items));
  } else {
    result.error = session.Explain("block of " + std::to_string(count) + " values", status, true);
    out.Add("error", result.error);
  }
  result.json = out.Text();
  return result;
}

Result RunBench(const CommonOptions& options, const std::string& kind, const std::string& name, int requests,
                int32_t blockCount) {
  ToolRun session(options);
  Result result;
  if (!CheckPortName(options, &result) || !StartSession(session, &result)) return result;
  std::vector<Point> points(1);
  points[0].kind = QVO_POINT_S;
  if (kind == "point" && !ResolvePoints(session, {name}, &points, &result)) return result;
  if (!OpenSession(session, &result)) return result;
  const Point& point = points[0];
  uint64_t failed = 0;
  std::vector<uint16_t> values;
  std::vector<double> perRequestUs;
  perRequestUs.reserve(static_cast<size_t>(requests));
  std::atomic<int> finished{0};
  const auto start = Clock::now();
  // The whole run is one job, so that a request costs no thread of its own;
  // a signal between requests ends it with its figures.
  RunUnlessStopped(
      [&] {
        for (int i = 0; i < requests && StopSignal() == 0; ++i) {
          uint16_t value = 0;
          const Timed answer = Time([&] {
            return kind == "block" ? session.host().ReadBlock(blockCount, &values)
                                   : session.host().Read(point, &value);
          });
          perRequestUs.push_back(answer.elapsed.count() * 1e6);
          if (answer.status != QVO_STATUS_OK) ++failed;
          finished.store(i + 1);
        }
      },
      [&] {
        Print(Failure(ExitStatusAfter(StopSignal()),
                      "stopped by a signal during request " + std::to_string(finished.load() + 1)),
              options.json);
      });
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const int done = static_cast<int>(perRequestUs.size());
  if (done == 0) return Failure(ExitStatusAfter(StopSignal()), "stopped");

  const uint32_t characters = (kind == "block" ? qvotk_host::BlockFrames(blockCount)
                                               : qvotk_host::ValueFrames(point.kind == QVO_POINT_S, false))
                                  .Both();
  const unsigned baud = session.Line().line.baudRate;
  const double medianUs = Median(perRequestUs);
  const double minUs = *std::min_element(perRequestUs.begin(), perRequestUs.end());
  const double maxUs = *std::max_element(perRequestUs.begin(), perRequestUs.end());
  const double wireUs = qvotk_host::WireMicroseconds(characters, baud);
  // The median is the figure to judge the driver by: a mean also carries
  // whatever hiccups the operating system's scheduler had.
  const double ratio = wireUs > 0 ? medianUs / wireUs : 0;
  const std::string label =
      kind == "block" ? "block of " + std::to_string(blockCount) : "read " + PointLabel(point);
  result.json = JsonObject()
                    .Add("request", label)
                    .Add("requests", static_cast<int64_t>(done))
                    .Add("failed", static_cast<int64_t>(failed))
                    .Add("requestsPerSecond", done / seconds)
                    .Add("meanMicroseconds", seconds * 1e6 / done)
                    .Add("minMicroseconds", minUs)
                    .Add("medianMicroseconds", medianUs)
                    .Add("maxMicroseconds", maxUs)
                    .Add("wireCharacters", static_cast<int64_t>(characters))
                    .Add("baud", static_cast<int64_t>(baud))
                    .Add("wireMicroseconds", wireUs)
                    .Add("medianToWire", ratio)
                    .Text();
  char text[320];
  std::snprintf(
      text, sizeof text,
      "%-14s %6d requests, %llu failed: %9.1f requests/s; per request min %.1f / median %.1f / max %.1f "
      "us; wire time at %u baud (%u characters) %.1f us, median to wire %.3f",
      label.c_str(), done, static_cast<unsigned long long>(failed), done / seconds, minUs, medianUs, maxUs,
      baud, characters, wireUs, ratio);
  result.lines.push_back(text);
  result.status = StopSignal() != 0 ? ExitStatusAfter(StopSignal()) : (failed ? QVO_STATUS_NO_ANSWER : 0);
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
  probe.station = -1;  // each probe writes its own station file
  ToolRun prober(probe);
  Result result;
  if (!CheckPortName(options, &result) || !StartSession(prober, &result)) return result;
  prober.SetReadTimeout(timeoutUnits >= 0 ? static_cast<uint32_t>(timeoutUnits)
                                          : ScanTimeoutUnits(prober.Line().line.baudRate));
  const bool progress = !options.json && IsTerminal(stderr);
  std::vector<std::string> found;
  Point sPoint;
  sPoint.kind = QVO_POINT_S;
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
                       partial.json = JsonObject().AddRaw("stations", JsonArray(found)).Text();
                       Print(partial, options.json);
                     });
    prober.Close();
    // A refusal is an answer too: something at that address replied.
    if (status != QVO_STATUS_NO_ANSWER) found.push_back(std::to_string(station));
  }
  if (progress) std::fprintf(stderr, "\r%*s\r", 70, "");
  std::string list;
  for (const std::string& station : found) list += (list.empty() ? "" : " ") + station;
  result.lines.push_back(found.empty()
                             ? "no station answered at " + std::to_string(from) + "-" + std::to_string(to)
                             : "stations that answer: " + list);
  result.json = JsonObject().AddRaw("stations", JsonArray(found)).Text();
  if (result.status == 0) result.status = found.empty() ? QVO_STATUS_NO_ANSWER : 0;
  return result;
}
