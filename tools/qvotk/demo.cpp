// qvotk demo: tovek-sim on a pseudo-terminal paced at 9600 baud, and the
// driver taken through every request a host makes, step by step.
#include <atomic>
#include <chrono>
#include <cstdio>

#include "commands.h"
#include "cp437.h"
#include "stop_signals.h"

#if defined(_WIN32)
int RunDemo(const CommonOptions&, bool) {
  std::fprintf(stderr, "qvotk: the demo runs tovek-sim on a pseudo-terminal, which needs Linux\n");
  return 1;
}
#else
#include "common/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBaud = 9600;
constexpr int kStation = 12;
constexpr int kBlockValues = 16;

// What the simulator is told to hold, and what the demo then reads.
struct DemoPoint {
  const char* name;
  std::vector<std::string> setting;
  int expected;
};

const DemoPoint kPoints[] = {
    {"S", {"--s-point", "4"}, 4},     {"001", {"--point", "1=17"}, 17}, {"002", {"--point", "2=34"}, 34},
    {"003", {"--point", "3=51"}, 51}, {"004", {"--point", "4=68"}, 68}, {"005", {"--point", "5=1"}, 1},
};

std::vector<std::string> SimulatorArguments(bool verbose) {
  // Station 13 shares the line: the station file picks 12.
  std::vector<std::string> arguments = {
      "--station", std::to_string(kStation), "--station",     "13",
      "--baud",    std::to_string(kBaud),    "--block-count", std::to_string(kBlockValues)};
  for (const DemoPoint& point : kPoints)
    arguments.insert(arguments.end(), point.setting.begin(), point.setting.end());
  if (verbose) arguments.push_back("-v");
  return arguments;
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int RunDemo(const CommonOptions& options, bool verboseSimulator) {
  const std::string simulator = options.programDirectory + "/tovek-sim";
  ChildProcess child;
  std::string error, port;
  if (!child.Start(simulator, SimulatorArguments(verboseSimulator), &error) || !child.ReadLine(&port, 5000)) {
    std::fprintf(stderr, "qvotk: cannot start %s %s: build it beside qvotk (cmake --build)\n",
                 simulator.c_str(), error.c_str());
    return QVO_STATUS_NO_ANSWER;
  }
  // Stopped and waited for however the demo ends, a signal included.
  const UndoAtExit stopChild([&child] { child.Stop(); });

  CommonOptions demo = options;
  demo.port = port;
  demo.baud = kBaud;
  demo.station = kStation;
  demo.lineNumber = 1;
  demo.timeoutUnits = 20;  // 200 ms: ample for a 23-character reply at 9600 baud
  ToolRun session(demo);
  if (!session.Start(&error)) {
    std::fprintf(stderr, "qvotk: %s\n", error.c_str());
    return QVO_STATUS_NO_ANSWER;
  }
  HostChannel& host = session.host();
  std::atomic<int> steps{0}, failures{0};  // a signal tells them from the main thread
  auto step = [&](bool ok, const std::string& text) {
    ++steps;
    if (!ok) ++failures;
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", text.c_str());
    std::fflush(stdout);
  };

  std::printf("qvotk demo: the driver against tovek-sim on %s (stations 12 and 13, paced at %d baud)\n",
              port.c_str(), kBaud);
  std::printf("%s", Cp437ForTerminal(session.info().banner).c_str());

  std::printf("\nDriver information (opcode 14)\n");
  const QvoDriverInfo& info = session.info();
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
    const bool valid = host.Validate(c.name, &point) == QVO_STATUS_OK;
    const bool block = host.CheckBlock(c.name, kBlockValues) == QVO_STATUS_OK;
    std::string text = "'" + std::string(c.name) + "' ";
    text += !valid ? "refused: no point name (S, or three digits)"
                   : (point.kind == QVO_POINT_S ? "the S point" : "point " + std::to_string(point.number));
    if (block) text += ", readable as a block";
    step(valid == c.valid, text);
  }

  std::printf("\nChannel (opcode 1) on %s, station file %s holding STATION=%d\n", port.c_str(),
              session.StationFileName().c_str(), kStation);
  if (!session.Open(&error)) {
    std::fprintf(stderr, "qvotk: %s\n", error.c_str());
    return QVO_STATUS_NO_ANSWER;
  }
  step(host.channel().stationAddress == kStation,
       "opened, station address " + std::to_string(host.channel().stationAddress));

  // The requests run apart, so that a signal ends the demo at once.
  RunUnlessStopped(
      [&] {
        std::printf("\nReads (opcode 5)\n");
        for (const DemoPoint& expected : kPoints) {
          Point point;
          host.Validate(expected.name, &point);
          uint16_t value = 0;
          const auto start = Clock::now();
          const QvoStatus status = host.Read(point, &value);
          char text[96];
          std::snprintf(text, sizeof text, "%-3s = %-3u (%.1f ms)", PointLabel(point).c_str(), value,
                        MillisecondsSince(start));
          step(status == QVO_STATUS_OK && value == expected.expected, text);
        }

        std::printf("\nWrite (opcode 7) and read back\n");
        Point five;
        host.Validate("005", &five);
        uint16_t readBack = 0;
        const QvoStatus written = host.Write(five, 2);
        const QvoStatus readStatus = host.Read(five, &readBack);
        step(written == QVO_STATUS_OK && readStatus == QVO_STATUS_OK && readBack == 2,
             "005 := 2, read back " + std::to_string(readBack));
        Point sPoint;
        host.Validate("S", &sPoint);
        step(host.Write(sPoint, 25) == QVO_STATUS_REJECTED,
             "S := 25 refused before anything is sent (one digit only)");

        std::printf("\nBlock (opcode 6)\n");
        std::vector<uint16_t> values;
        const auto blockStart = Clock::now();
        const QvoStatus blockStatus = host.ReadBlock(kBlockValues, &values);
        std::string list;
        for (uint16_t v : values) list += std::to_string(v) + " ";
        char blockText[64];
        std::snprintf(blockText, sizeof blockText, "(%.1f ms): ", MillisecondsSince(blockStart));
        step(blockStatus == QVO_STATUS_OK && values.size() == kBlockValues && values.back() == kBlockValues,
             std::to_string(kBlockValues) + " values " + blockText + list);

        std::printf("\nBench: 20 reads of the S point\n");
        constexpr int kReads = 20;
        std::vector<double> perRequestMs;
        int benchFailures = 0;
        for (int i = 0; i < kReads && StopSignal() == 0; ++i) {
          uint16_t value = 0;
          const auto start = Clock::now();
          if (host.Read(sPoint, &value) != QVO_STATUS_OK) ++benchFailures;
          perRequestMs.push_back(MillisecondsSince(start));
        }
        const double medianMs = Median(perRequestMs);
        const uint32_t characters = qvotk_host::ValueFrames(true, false).Both();
        const double wireMs = qvotk_host::WireMicroseconds(characters, kBaud) / 1000;
        char benchText[160];
        std::snprintf(benchText, sizeof benchText,
                      "%.2f ms a request (median); the %u characters take %.2f ms on the wire: ratio %.3f",
                      medianMs, characters, wireMs, medianMs / wireMs);
        step(benchFailures == 0, benchText);
      },
      [&] { std::printf("\nstopped by a signal after %d steps\n", steps.load()); });

  std::printf("\nClose (opcode 11)\n");
  session.Close();
  step(host.channel().port == 0, "closed");
  std::fflush(stdout);
  child.Stop();
  std::printf("\n%d of %d steps passed\n", steps - failures, steps.load());
  if (StopSignal() != 0) return ExitStatusAfter(StopSignal());
  return failures ? 1 : 0;
}
#endif
