// qvotk demo: tovek-sim on a pseudo-terminal paced at 9600 baud, and the
// driver taken through every request a host makes, step by step.
#include <atomic>
#include <chrono>
#include <cstdio>

#include "commands.h"
#include "cp437.h"
#include "stop_signals.h"

#if !defined(_WIN32)
#include "common/child_process.h"
#endif

namespace {

#if defined(_WIN32)
int RunDemo(const CommonOptions&, bool) {
  std::fprintf(stderr, "qvotk: the demo runs tovek-sim on a pseudo-terminal, which needs Linux\n");
  return 1;
}
#else
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

// The driver taken through a host's requests, a step each, told as they
// pass or fail.
class Demo {
 public:
  explicit Demo(ToolRun& session) : session_(session), host_(session.host()) {}

  void Information() {
    std::printf("\nDriver information (opcode 14)\n");
    const QvoDriverInfo& info = session_.info();
    Step(info.channelSize == sizeof(QvoChannel),
         "\"" + std::string(info.driverName) + "\", channel record " + std::to_string(info.channelSize) +
             " bytes, default line " + std::to_string(info.defaultLine.baudRate) + " baud 8N1");
  }

  void PointNames() {
    std::printf("\nPoint names (opcodes 3 and 4)\n");
    struct NameCase {
      const char* name;
      bool valid;
    };
    for (const NameCase& c :
         {NameCase{"S", true}, NameCase{"s", true}, NameCase{"001", true}, NameCase{"123", true},
          NameCase{"1234", false}, NameCase{" 12", false}, NameCase{"S1", false}}) {
      Point point;
      const bool valid = host_.Validate(c.name, &point) == QVO_STATUS_OK;
      const bool block = host_.CheckBlock(c.name, kBlockValues) == QVO_STATUS_OK;
      std::string text = "'" + std::string(c.name) + "' ";
      text += !valid ? "refused: no point name (S, or three digits)"
                     : (point.kind == QVO_POINT_S ? "the S point" : "point " + std::to_string(point.number));
      if (block) text += ", readable as a block";
      Step(valid == c.valid, text);
    }
  }

  bool Channel(const std::string& port) {
    std::printf("\nChannel (opcode 1) on %s, station file %s holding STATION=%d\n", port.c_str(),
                session_.StationFileName().c_str(), kStation);
    std::string error;
    if (!session_.Open(&error)) {
      std::fprintf(stderr, "qvotk: %s\n", error.c_str());
      return false;
    }
    Step(host_.channel().stationAddress == kStation,
         "opened, station address " + std::to_string(host_.channel().stationAddress));
    return true;
  }

  // The requests, apart, so that a signal ends the demo at once.
  void Requests() {
    RunUnlessStopped(
        [&] {
          Reads();
          WriteAndReadBack();
          Block();
          Bench();
        },
        [&] { std::printf("\nstopped by a signal after %d steps\n", steps_.load()); });
  }

  // Closes the channel; the exit status.
  int Close(ChildProcess& simulator) {
    std::printf("\nClose (opcode 11)\n");
    session_.Close();
    Step(host_.channel().port == 0, "closed");
    std::fflush(stdout);
    simulator.Stop();
    std::printf("\n%d of %d steps passed\n", steps_ - failures_, steps_.load());
    if (StopSignal() != 0) return ExitStatusAfter(StopSignal());
    return failures_ ? 1 : 0;
  }

 private:
  void Step(bool ok, const std::string& text) {
    ++steps_;
    if (!ok) ++failures_;
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", text.c_str());
    std::fflush(stdout);
  }

  void Reads() {
    std::printf("\nReads (opcode 5)\n");
    for (const DemoPoint& expected : kPoints) {
      Point point;
      host_.Validate(expected.name, &point);
      uint16_t value = 0;
      const auto start = Clock::now();
      const QvoStatus status = host_.Read(point, &value);
      char text[96];
      std::snprintf(text, sizeof text, "%-3s = %-3u (%.1f ms)", PointLabel(point).c_str(), value,
                    MillisecondsSince(start));
      Step(status == QVO_STATUS_OK && value == expected.expected, text);
    }
  }

  void WriteAndReadBack() {
    std::printf("\nWrite (opcode 7) and read back\n");
    Point five;
    host_.Validate("005", &five);
    uint16_t readBack = 0;
    const QvoStatus written = host_.Write(five, 2);
    const QvoStatus readStatus = host_.Read(five, &readBack);
    Step(written == QVO_STATUS_OK && readStatus == QVO_STATUS_OK && readBack == 2,
         "005 := 2, read back " + std::to_string(readBack));
    Point sPoint;
    host_.Validate("S", &sPoint);
    Step(host_.Write(sPoint, 25) == QVO_STATUS_REJECTED,
         "S := 25 refused before anything is sent (one digit only)");
  }

  void Block() {
    std::printf("\nBlock (opcode 6)\n");
    std::vector<uint16_t> values;
    const auto start = Clock::now();
    const QvoStatus status = host_.ReadBlock(kBlockValues, &values);
    std::string list;
    for (uint16_t v : values) list += std::to_string(v) + " ";
    char took[64];
    std::snprintf(took, sizeof took, "(%.1f ms): ", MillisecondsSince(start));
    Step(status == QVO_STATUS_OK && values.size() == kBlockValues && values.back() == kBlockValues,
         std::to_string(kBlockValues) + " values " + took + list);
  }

  void Bench() {
    std::printf("\nBench: 20 reads of the S point\n");
    constexpr int kReads = 20;
    Point sPoint;
    host_.Validate("S", &sPoint);
    std::vector<double> perRequestMs;
    int failures = 0;
    for (int i = 0; i < kReads && StopSignal() == 0; ++i) {
      uint16_t value = 0;
      const auto start = Clock::now();
      if (host_.Read(sPoint, &value) != QVO_STATUS_OK) ++failures;
      perRequestMs.push_back(MillisecondsSince(start));
    }
    const double medianMs = Median(perRequestMs);
    const uint32_t characters = qvotk_host::ValueFrames(true, false).Both();
    const double wireMs = qvotk_host::WireMicroseconds(characters, kBaud) / 1000;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%.2f ms a request (median); the %u characters take %.2f ms on the wire: ratio %.3f",
                  medianMs, characters, wireMs, medianMs / wireMs);
    Step(failures == 0, text);
  }

  ToolRun& session_;
  HostChannel& host_;
  std::atomic<int> steps_{0}, failures_{0};  // a signal tells them from the main thread
};

// The demo's line: station 12 at 9600 baud, with a read time-out of 200 ms,
// ample for a 23-character reply.
CommonOptions DemoLine(const CommonOptions& options, const std::string& port) {
  CommonOptions demo = options;
  demo.port = port;
  demo.baud = kBaud;
  demo.station = kStation;
  demo.lineNumber = 1;
  demo.timeoutUnits = 20;
  return demo;
}

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
  ToolRun session(DemoLine(options, port));
  if (!session.Start(&error)) {
    std::fprintf(stderr, "qvotk: %s\n", error.c_str());
    return QVO_STATUS_NO_ANSWER;
  }
  std::printf("qvotk demo: the driver against tovek-sim on %s (stations 12 and 13, paced at %d baud)\n",
              port.c_str(), kBaud);
  std::printf("%s", Cp437ForTerminal(session.info().banner).c_str());
  Demo demo(session);
  demo.Information();
  demo.PointNames();
  if (!demo.Channel(port)) return QVO_STATUS_NO_ANSWER;
  demo.Requests();
  return demo.Close(child);
}
#endif

}  // namespace

int DemoCommand(CommandLine& line) {
  bool verboseSimulator = false;
  line.app().add_flag("-v,--verbose", verboseSimulator, "Show the simulator's frame trace");
  line.app().add_option("--driver", line.options().driverPath,
                        "Driver library to load (default: the one beside qvotk)");
  if (!line.Parse()) return line.status();
  return RunDemo(line.options(), verboseSimulator);
}
