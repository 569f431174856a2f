#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "cp437.h"
#if !defined(_WIN32)
#include "common/child_process.h"
#endif
#include "output.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>

#include <ctime>
#endif

namespace {

using Clock = std::chrono::steady_clock;

void SleepMilliseconds(int milliseconds) {
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(milliseconds));
#else
  const timespec pause = {milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000};
  nanosleep(&pause, nullptr);
#endif
}

const char* ParityName(int code) {
  static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
  return code >= 0 && code <= 4 ? kNames[code] : "?";
}

// The library, the driver information, and the working directory the
// driver reads its station file from.
class Host {
 public:
  ~Host() {
    if (!stationDirectory_.empty()) {
      std::error_code ignored;
      std::filesystem::current_path(previousDirectory_, ignored);
      std::filesystem::remove_all(stationDirectory_, ignored);
    }
  }

  bool Start(const CommonOptions& options, std::string* error) {
    options_ = options;
    if (!LoadDriverLibrary(options.driverPath, options.programDirectory, &library_, error)) return false;
    session_ = std::make_unique<HostSession>(library_.entry);
    session_->Info(&info_);
    if (options.station >= 0 && !WriteStationFile(options.station, error)) return false;
    return true;
  }

  LineOptions Line() const {
    LineOptions line;
    line.port = options_.port;
    line.lineNumber = options_.lineNumber;
    line.timeoutUnits = options_.timeoutUnits;
    line.line = info_.defaultLine;
    if (options_.baud >= 0) line.line.baudRate = static_cast<uint16_t>(options_.baud);
    if (options_.dataBits >= 0) line.line.dataBits = static_cast<uint16_t>(options_.dataBits);
    if (options_.stopBits >= 0) line.line.stopBits = static_cast<uint16_t>(options_.stopBits);
    if (options_.parity >= 0) line.line.parity = static_cast<uint16_t>(options_.parity);
    return line;
  }

  std::string StationFileName() const {
    char name[32];
    std::snprintf(name, sizeof name, QVO_STATION_FILE_PATTERN, static_cast<int>(options_.lineNumber));
    return name;
  }

  // Opens the channel, or says in one line what failed.
  int OpenChannel() {
    if (options_.port.empty()) {
      std::fprintf(stderr, "qvotk: no port given: use --port NAME (for tovek-sim, the pts/N it printed)\n");
      return kExitUsage;
    }
    const LineOptions line = Line();
    const QvoStatus status = session_->Open(line);
    if (status != QVO_STATUS_OK) {
      std::fprintf(stderr,
                   "qvotk: cannot open port '%s' (status %d): check the name (a device under /dev such as "
                   "ttyUSB0 or pts/3, at most 11 characters) and that no other program holds it\n",
                   options_.port.c_str(), status);
      return status;
    }
    opened_ = true;
    return 0;
  }

  void CloseChannel() {
    if (opened_) session_->Close();
    opened_ = false;
  }

  // One line on why a value request failed.
  void Explain(const std::string& what, QvoStatus status) const {
    const unsigned station = session_->channel().stationAddress;
    const LineOptions line = Line();
    if (station > 9999) {
      std::fprintf(stderr,
                   "qvotk: %s: not sent: the station file %s holds an address outside 0-9999; fix it and "
                   "open again\n",
                   what.c_str(), StationFileName().c_str());
    } else if (status == QVO_STATUS_NO_ANSWER) {
      std::fprintf(stderr,
                   "qvotk: %s: no answer from station %u on %s after 10 attempts: check the wiring, the line "
                   "settings (%u baud, %u data bits, parity %s) and the station file %s\n",
                   what.c_str(), station, options_.port.c_str(), line.line.baudRate, line.line.dataBits,
                   ParityName(line.line.parity), StationFileName().c_str());
    } else {
      std::fprintf(stderr,
                   "qvotk: %s: refused (status 1): the point name or value is not one the driver can send, "
                   "or the controller at station %u answered with an error or a bad checksum\n",
                   what.c_str(), station);
    }
  }

  HostSession& session() { return *session_; }
  const QvoDriverInfo& info() const { return info_; }
  const CommonOptions& options() const { return options_; }

 private:
  bool WriteStationFile(int station, std::string* error) {
    std::mt19937 random(static_cast<uint32_t>(Clock::now().time_since_epoch().count()));
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 20 && stationDirectory_.empty(); ++attempt) {
      const auto candidate = base / ("qvotk-" + std::to_string(random()));
      std::error_code failed;
      if (std::filesystem::create_directory(candidate, failed)) stationDirectory_ = candidate.string();
    }
    if (stationDirectory_.empty()) {
      *error = "cannot make a private directory for the station file";
      return false;
    }
    std::ofstream(stationDirectory_ + "/" + StationFileName()) << "STATION=" << station << "\n";
    previousDirectory_ = std::filesystem::current_path().string();
    std::filesystem::current_path(stationDirectory_);
    return true;
  }

  CommonOptions options_;
  DriverLibrary library_;
  std::unique_ptr<HostSession> session_;
  QvoDriverInfo info_{};
  std::string stationDirectory_;
  std::string previousDirectory_;
  bool opened_ = false;
};

int Worst(int a, int b) { return std::max(a, b); }

bool StartHost(Host* host, const CommonOptions& options) {
  std::string error;
  if (host->Start(options, &error)) return true;
  std::fprintf(stderr, "qvotk: %s\n", error.c_str());
  return false;
}

// Validates a point name through the driver, or says why not.
bool ResolvePoint(Host& host, const std::string& name, Point* point) {
  if (host.session().Validate(name, point) == QVO_STATUS_OK) return true;
  std::fprintf(stderr, "qvotk: '%s' is not a point name: use S, or three digits 000-999\n", name.c_str());
  return false;
}

bool ResolvePoints(Host& host, const std::vector<std::string>& names, std::vector<Point>* points) {
  points->resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (!ResolvePoint(host, names[i], &(*points)[i])) return false;
  }
  return true;
}

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

}  // namespace

int RunInfo(const CommonOptions& options) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  const QvoDriverInfo& info = host.info();
  if (options.json) {
    JsonObject line;
    line.Add("baudRate", static_cast<int64_t>(info.defaultLine.baudRate))
        .Add("dataBits", static_cast<int64_t>(info.defaultLine.dataBits))
        .Add("stopBits", static_cast<int64_t>(info.defaultLine.stopBits))
        .Add("parity", static_cast<int64_t>(info.defaultLine.parity));
    JsonObject out;
    out.Add("driverCode", static_cast<int64_t>(info.driverCode))
        .Add("driverName", info.driverName)
        .Add("channelSize", static_cast<int64_t>(info.channelSize))
        .Add("presetA", static_cast<int64_t>(info.presetA))
        .Add("presetB", static_cast<int64_t>(info.presetB))
        .AddRaw("defaultLine", line.Text())
        .Add("banner", Cp437ToUtf8(info.banner));
    std::printf("%s\n", out.Text().c_str());
    return 0;
  }
  std::printf("%s", Cp437ToUtf8(info.banner).c_str());
  std::printf("driver \"%s\" (code %u), channel record %u bytes, presets %u/%u\n", info.driverName,
              info.driverCode, info.channelSize, info.presetA, info.presetB);
  std::printf("default line: %u baud, %u data bits, stop bits code %u, parity %s\n",
              info.defaultLine.baudRate, info.defaultLine.dataBits, info.defaultLine.stopBits,
              ParityName(info.defaultLine.parity));
  return 0;
}

int RunCheck(const CommonOptions& options, const std::vector<std::string>& names, int32_t count) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  int result = 0;
  std::vector<std::string> items;
  for (const std::string& name : names) {
    Point point;
    const QvoStatus valid = host.session().Validate(name, &point);
    const QvoStatus block = host.session().CheckBlock(name, count);
    result = Worst(result, valid);
    if (options.json) {
      JsonObject item;
      item.Add("name", name)
          .Add("valid", valid == QVO_STATUS_OK)
          .Add("blockReadable", block == QVO_STATUS_OK);
      if (valid == QVO_STATUS_OK) {
        item.Add("kind", point.kind == QVO_POINT_S ? "S" : "numbered");
        if (point.kind != QVO_POINT_S) item.Add("number", static_cast<int64_t>(point.number));
      }
      items.push_back(item.Text());
    } else if (valid != QVO_STATUS_OK) {
      std::printf("%-10s invalid\n", ("'" + name + "'").c_str());
    } else {
      std::printf(
          "%-10s %s%s\n", ("'" + name + "'").c_str(),
          point.kind == QVO_POINT_S ? "S point" : ("numbered point " + std::to_string(point.number)).c_str(),
          block == QVO_STATUS_OK ? (", readable as a block of " + std::to_string(count)).c_str() : "");
    }
  }
  if (options.json) std::printf("%s\n", JsonArray(items).c_str());
  return result;
}

int RunRead(const CommonOptions& options, const std::vector<std::string>& names) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  std::vector<Point> points;
  if (!ResolvePoints(host, names, &points)) return 1;
  if (const int opened = host.OpenChannel()) return opened;
  int result = 0;
  std::vector<std::string> items;
  for (const Point& point : points) {
    uint16_t value = 0;
    const QvoStatus status = host.session().Read(point, &value);
    result = Worst(result, status);
    if (options.json) {
      JsonObject item;
      item.Add("point", PointLabel(point)).Add("status", static_cast<int64_t>(status));
      if (status == QVO_STATUS_OK) item.Add("value", static_cast<int64_t>(value));
      items.push_back(item.Text());
    } else if (status == QVO_STATUS_OK) {
      std::printf("%s = %u\n", PointLabel(point).c_str(), value);
    } else {
      host.Explain("read " + PointLabel(point), status);
    }
  }
  host.CloseChannel();
  if (options.json) std::printf("%s\n", JsonArray(items).c_str());
  return result;
}

int RunWrite(const CommonOptions& options, const std::string& name, int value) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  Point point;
  if (!ResolvePoint(host, name, &point)) return 1;
  if (const int opened = host.OpenChannel()) return opened;
  const QvoStatus status = host.session().Write(point, static_cast<uint16_t>(value));
  host.CloseChannel();
  if (options.json) {
    std::printf("%s\n", JsonObject()
                            .Add("point", PointLabel(point))
                            .Add("value", static_cast<int64_t>(value))
                            .Add("status", static_cast<int64_t>(status))
                            .Text()
                            .c_str());
  } else if (status == QVO_STATUS_OK) {
    std::printf("%s := %d\n", PointLabel(point).c_str(), value);
  } else {
    host.Explain(
        "write " + PointLabel(point) + " = " + std::to_string(value) +
            (point.kind == QVO_POINT_S ? " (the S point takes 0-9)" : " (numbered points take 1 or 2)"),
        status);
  }
  return status;
}

int RunBlock(const CommonOptions& options, int32_t count) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  if (host.session().CheckBlock("001", count) != QVO_STATUS_OK) {
    std::fprintf(stderr, "qvotk: a block holds 0 to 255 values, not %d\n", count);
    return 1;
  }
  if (const int opened = host.OpenChannel()) return opened;
  std::vector<uint16_t> values;
  const QvoStatus status = host.session().ReadBlock(count, &values);
  host.CloseChannel();
  if (options.json) {
    std::vector<std::string> items;
    for (uint16_t v : values) items.push_back(std::to_string(v));
    JsonObject out;
    out.Add("count", static_cast<int64_t>(count)).Add("status", static_cast<int64_t>(status));
    if (status == QVO_STATUS_OK) out.AddRaw("values", JsonArray(items));
    std::printf("%s\n", out.Text().c_str());
  } else if (status == QVO_STATUS_OK) {
    for (size_t i = 0; i < values.size(); ++i) std::printf("%s%u", i % 16 ? " " : (i ? "\n" : ""), values[i]);
    std::printf("\n");
  } else {
    host.Explain("block of " + std::to_string(count) + " values", status);
  }
  return status;
}

int RunPoll(const CommonOptions& options, const std::vector<std::string>& names, int intervalMs, int count) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  std::vector<Point> points;
  if (!ResolvePoints(host, names, &points)) return 1;
  if (const int opened = host.OpenChannel()) return opened;
  const bool live = !options.json && isatty(fileno(stdout));
  std::vector<double> latencies;
  uint64_t requests = 0, failures[3] = {0, 0, 0};
  std::vector<int> lastValues(points.size(), -1);
  for (int round = 0; count == 0 || round < count; ++round) {
    for (size_t i = 0; i < points.size(); ++i) {
      uint16_t value = 0;
      const auto start = Clock::now();
      const QvoStatus status = host.session().Read(points[i], &value);
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      ++requests;
      if (status >= 0 && status <= 2) ++failures[status];
      lastValues[i] = status == QVO_STATUS_OK ? value : -1;
    }
    if (!options.json) {
      std::string line;
      for (size_t i = 0; i < points.size(); ++i) {
        line += PointLabel(points[i]) + "=" + (lastValues[i] < 0 ? "?" : std::to_string(lastValues[i])) + " ";
      }
      std::printf("%s%s| %llu requests, %llu refused, %llu unanswered | %.1f/%.1f/%.1f ms%s",
                  live ? "\r" : "", line.c_str(), static_cast<unsigned long long>(requests),
                  static_cast<unsigned long long>(failures[1]), static_cast<unsigned long long>(failures[2]),
                  *std::min_element(latencies.begin(), latencies.end()), Median(latencies),
                  *std::max_element(latencies.begin(), latencies.end()), live ? "  " : "\n");
      std::fflush(stdout);
    }
    if (count == 0 || round + 1 < count) SleepMilliseconds(intervalMs);
  }
  if (live) std::printf("\n");
  host.CloseChannel();
  if (options.json) {
    std::printf("%s\n", JsonObject()
                            .Add("requests", static_cast<int64_t>(requests))
                            .Add("refused", static_cast<int64_t>(failures[1]))
                            .Add("unanswered", static_cast<int64_t>(failures[2]))
                            .Add("latencyMinMs", *std::min_element(latencies.begin(), latencies.end()))
                            .Add("latencyMedianMs", Median(latencies))
                            .Add("latencyMaxMs", *std::max_element(latencies.begin(), latencies.end()))
                            .Text()
                            .c_str());
  }
  return failures[2] ? 2 : (failures[1] ? 1 : 0);
}

int RunBench(const CommonOptions& options, const std::string& kind, const std::string& name, int requests,
             int32_t blockCount) {
  Host host;
  if (!StartHost(&host, options)) return 2;
  Point point;
  if (kind == "s") {
    point.kind = QVO_POINT_S;
  } else if (kind == "point") {
    if (!ResolvePoint(host, name, &point)) return 1;
  } else if (kind != "block") {
    std::fprintf(stderr, "qvotk: bench measures s, point or block, not '%s'\n", kind.c_str());
    return kExitUsage;
  }
  if (const int opened = host.OpenChannel()) return opened;
  uint64_t failed = 0;
  std::vector<uint16_t> values;
  std::vector<double> perRequestUs;
  const auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    uint16_t value = 0;
    const auto requestStart = Clock::now();
    const QvoStatus status =
        kind == "block" ? host.session().ReadBlock(blockCount, &values) : host.session().Read(point, &value);
    perRequestUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - requestStart).count());
    if (status != QVO_STATUS_OK) ++failed;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  host.CloseChannel();

  const uint32_t characters =
      kind == "block" ? BlockWireCharacters(blockCount) : WireCharacters(point, false);
  const unsigned baud = host.Line().line.baudRate;
  const double meanUs = seconds * 1e6 / requests;
  const double medianUs = Median(perRequestUs);
  const double wireUs = baud ? characters * 10.0 * 1e6 / baud : 0;
  // The median is the figure to judge the driver by: a mean also carries
  // whatever hiccups the operating system's scheduler had.
  const double ratio = wireUs > 0 ? medianUs / wireUs : 0;
  const std::string label =
      kind == "block" ? "block of " + std::to_string(blockCount) : "read " + PointLabel(point);
  if (options.json) {
    std::printf("%s\n",
                JsonObject()
                    .Add("request", label)
                    .Add("requests", static_cast<int64_t>(requests))
                    .Add("failed", static_cast<int64_t>(failed))
                    .Add("requestsPerSecond", requests / seconds)
                    .Add("meanMicroseconds", meanUs)
                    .Add("minMicroseconds", *std::min_element(perRequestUs.begin(), perRequestUs.end()))
                    .Add("medianMicroseconds", medianUs)
                    .Add("maxMicroseconds", *std::max_element(perRequestUs.begin(), perRequestUs.end()))
                    .Add("wireCharacters", static_cast<int64_t>(characters))
                    .Add("baud", static_cast<int64_t>(baud))
                    .Add("wireMicroseconds", wireUs)
                    .Add("medianToWire", ratio)
                    .Text()
                    .c_str());
  } else {
    std::printf(
        "%-14s %6d requests, %llu failed: %9.1f requests/s; per request min %.1f / median %.1f / max %.1f "
        "us; "
        "wire time at %u baud (%u characters) %.1f us, median to wire %.3f\n",
        label.c_str(), requests, static_cast<unsigned long long>(failed), requests / seconds,
        *std::min_element(perRequestUs.begin(), perRequestUs.end()), medianUs,
        *std::max_element(perRequestUs.begin(), perRequestUs.end()), baud, characters, wireUs, ratio);
  }
  return failed ? 2 : 0;
}

#if defined(_WIN32)
int RunDemo(const CommonOptions&, bool) {
  std::fprintf(stderr, "qvotk: the demo runs tovek-sim on a pseudo-terminal, which needs Linux\n");
  return 1;
}
#else
int RunDemo(const CommonOptions& options, bool verboseSimulator) {
  constexpr int kBaud = 9600;
  constexpr int kStation = 12;
  const std::string simulator = options.programDirectory + "/tovek-sim";
  std::vector<std::string> arguments = {"--station",     std::to_string(kStation),
                                        "--station",     "13",
                                        "--baud",        std::to_string(kBaud),
                                        "--s-point",     "4",
                                        "--point",       "1=17",
                                        "--point",       "2=34",
                                        "--point",       "3=51",
                                        "--point",       "4=68",
                                        "--point",       "5=1",
                                        "--block-count", "16"};
  if (verboseSimulator) arguments.push_back("-v");
  ChildProcess child;
  std::string error, port;
  if (!child.Start(simulator, arguments, &error) || !child.ReadLine(&port, 5000)) {
    std::fprintf(stderr, "qvotk: cannot start %s %s: build it beside qvotk (cmake --build)\n",
                 simulator.c_str(), error.c_str());
    return 2;
  }

  CommonOptions demo = options;
  demo.port = port;
  demo.baud = kBaud;
  demo.station = kStation;
  demo.lineNumber = 1;
  demo.timeoutUnits = 20;  // 200 ms: ample for a 23-character reply at 9600 baud
  Host host;
  if (!StartHost(&host, demo)) return 2;
  HostSession& session = host.session();
  int steps = 0, failures = 0;
  auto step = [&](bool ok, const std::string& text) {
    ++steps;
    if (!ok) ++failures;
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", text.c_str());
  };
  auto since = [](Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };

  std::printf("qvotk demo: the driver %s against tovek-sim on %s (stations 12 and 13, paced at %d baud)\n",
              "libqvotk.so", port.c_str(), kBaud);
  std::printf("%s", Cp437ToUtf8(host.info().banner).c_str());

  std::printf("\nDriver information (opcode 14)\n");
  const QvoDriverInfo& info = host.info();
  step(info.channelSize == sizeof(QvoChannel),
       "\"" + std::string(info.driverName) + "\", channel record " + std::to_string(info.channelSize) +
           " bytes, default line " + std::to_string(info.defaultLine.baudRate) + " baud 8N1");

  std::printf("\nPoint names (opcodes 3 and 4)\n");
  struct NameCase {
    const char* name;
    bool valid;
  };
  for (const NameCase& c :
       {NameCase{"S", true}, NameCase{"s", true}, NameCase{"001", true}, NameCase{"123", true},
        NameCase{"1234", false}, NameCase{" 12", false}, NameCase{"S1", false}}) {
    Point point;
    const bool valid = session.Validate(c.name, &point) == QVO_STATUS_OK;
    const bool block = session.CheckBlock(c.name, 16) == QVO_STATUS_OK;
    std::string text = "'" + std::string(c.name) + "' ";
    text += !valid ? "invalid"
                   : (point.kind == QVO_POINT_S ? "S point" : "point " + std::to_string(point.number));
    if (block) text += ", readable as a block";
    step(valid == c.valid, text);
  }

  std::printf("\nChannel (opcode 1) on %s, station file %s holding STATION=%d\n", port.c_str(),
              host.StationFileName().c_str(), kStation);
  if (host.OpenChannel() != 0) return 2;
  step(session.channel().stationAddress == kStation,
       "opened, station address " + std::to_string(session.channel().stationAddress));

  std::printf("\nReads (opcode 5)\n");
  const int expected[] = {4, 17, 34, 51, 68, 1};
  for (int i = 0; i <= 5; ++i) {
    Point point;
    session.Validate(i == 0 ? "S" : "00" + std::to_string(i), &point);
    uint16_t value = 0;
    const auto start = Clock::now();
    const QvoStatus status = session.Read(point, &value);
    char text[96];
    std::snprintf(text, sizeof text, "%-3s = %-3u (%.1f ms)", PointLabel(point).c_str(), value, since(start));
    step(status == QVO_STATUS_OK && value == expected[i], text);
  }

  std::printf("\nWrite (opcode 7) and read back\n");
  Point five;
  session.Validate("005", &five);
  uint16_t readBack = 0;
  const QvoStatus written = session.Write(five, 2);
  const QvoStatus readStatus = session.Read(five, &readBack);
  step(written == QVO_STATUS_OK && readStatus == QVO_STATUS_OK && readBack == 2,
       "005 := 2, read back " + std::to_string(readBack));
  Point sPoint;
  session.Validate("S", &sPoint);
  step(session.Write(sPoint, 25) == QVO_STATUS_REJECTED,
       "S := 25 refused before anything is sent (one digit only)");

  std::printf("\nBlock (opcode 6)\n");
  std::vector<uint16_t> values;
  const auto blockStart = Clock::now();
  const QvoStatus blockStatus = session.ReadBlock(16, &values);
  std::string list;
  for (uint16_t v : values) list += std::to_string(v) + " ";
  char blockText[64];
  std::snprintf(blockText, sizeof blockText, "(%.1f ms): ", since(blockStart));
  step(blockStatus == QVO_STATUS_OK && values.size() == 16 && values[15] == 16,
       "16 values " + std::string(blockText) + list);

  std::printf("\nBench: 20 reads of the S point\n");
  const int kReads = 20;
  const auto benchStart = Clock::now();
  int benchFailures = 0;
  for (int i = 0; i < kReads; ++i) {
    uint16_t value = 0;
    if (session.Read(sPoint, &value) != QVO_STATUS_OK) ++benchFailures;
  }
  const double perRequestMs = since(benchStart) / kReads;
  const double wireMs = WireCharacters(sPoint, false) * 10.0 * 1000 / kBaud;
  char benchText[160];
  std::snprintf(benchText, sizeof benchText,
                "%.2f ms per request; the %u characters take %.2f ms on the wire: ratio %.3f", perRequestMs,
                WireCharacters(sPoint, false), wireMs, perRequestMs / wireMs);
  step(benchFailures == 0, benchText);

  std::printf("\nClose (opcode 11)\n");
  step(session.Close() == QVO_STATUS_OK, "closed");
  std::fflush(stdout);
  child.Stop();
  std::printf("\n%d of %d steps passed\n", steps - failures, steps);
  return failures ? 1 : 0;
}
#endif
