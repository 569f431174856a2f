// tovek-sim: simulated TOVEK controllers on a serial line. By default it
// creates a pseudo-terminal and prints the port name to give the driver;
// with --device it serves an existing serial device.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "line_server.h"
#include "options.h"
#include "replay.h"
#include "serial_endpoint.h"
#include "statistics.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int signal) { g_stop = signal; }

// Whether --link may take `path`: free, or a link an earlier run left to a
// pseudo-terminal. Anything else belongs to somebody and stays as it is.
bool MayTakeLinkPath(const std::string& path, std::string* why) {
  struct stat about;
  if (lstat(path.c_str(), &about) != 0) return errno == ENOENT;
  if (!S_ISLNK(about.st_mode)) {
    *why = path + " exists and is not a symbolic link";
    return false;
  }
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  const std::string pointsAt = length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
  if (pointsAt.rfind("/dev/pts/", 0) != 0) {
    *why = path + " is a link to " + (pointsAt.empty() ? "something unreadable" : pointsAt) +
           ", not to a pseudo-terminal";
    return false;
  }
  return true;
}

// Makes `link` a symbolic link to `target`, where it may; says why not.
bool MakeLink(const char* option, const std::string& link, const std::string& target) {
  std::string why;
  if (!MayTakeLinkPath(link, &why)) {
    std::fprintf(stderr, "tovek-sim: %s: %s; it is left alone: name a free path\n", option, why.c_str());
    return false;
  }
  unlink(link.c_str());  // a leftover link, or nothing
  if (symlink(target.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "tovek-sim: %s: cannot make %s: %s\n", option, link.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// The controllers the options ask for, on one bus.
void PopulateBus(const SimOptions& options, sim::ControllerBus* bus) {
  for (uint32_t station : options.stations) {
    sim::TovekController& controller = bus->Add(static_cast<uint16_t>(station));
    controller.sPoint = static_cast<uint8_t>(station % 10);
    for (size_t n = 0; n < controller.points.size(); ++n)
      controller.points[n] = static_cast<uint8_t>(n + station);
    for (const StationValue& s : options.sPoints) {
      if (s.station < 0 || static_cast<uint32_t>(s.station) == station) controller.sPoint = s.value;
    }
    for (const StationValue& p : options.points) {
      if (p.station < 0 || static_cast<uint32_t>(p.station) == station) controller.points[p.point] = p.value;
    }
    if (options.blockGiven) {
      controller.block = options.block;
    } else {
      for (int i = 0; i < options.blockCount; ++i) controller.block.push_back(static_cast<uint8_t>(i + 1));
    }
  }
  bus->scriptedFaults.assign(options.scriptedFaults.begin(), options.scriptedFaults.end());
  bus->SetRandomFaults(options.faultRate, options.faults, options.seed);
  bus->faultDelayMicroseconds = static_cast<uint64_t>(options.faultDelayMs * 1000);
  bus->turnaroundMicroseconds = static_cast<uint64_t>(options.turnaroundMs * 1000);
}

// "station 12, 13 at 9600 baud, faults: noise at 0.2": what the line does.
std::string SettingsText(const SimOptions& options) {
  std::string text = options.stations.size() == 1 ? "station " : "stations ";
  for (size_t i = 0; i < options.stations.size(); ++i)
    text += (i ? ", " : "") + std::to_string(options.stations[i]);
  text += options.baud ? " at " + std::to_string(options.baud) + " baud" : ", unpaced";
  if (options.faultRate > 0 && !options.faults.empty()) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", options.faultRate);
    text += ", faults at " + std::string(rate);
  }
  if (!options.scriptedFaults.empty()) text += ", scripted faults";
  return text;
}

// Caught before the link is made and the port told, so that no signal
// from then on leaves the link behind.
void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);  // a closed terminal session
  signal(SIGPIPE, SIG_IGN);
}

// The simulator's ends: the line's, and the tap's when asked, with the
// links it made to them, removed and closed when it ends however it ends.
struct Ports {
  SerialEndpoint line;
  SerialEndpoint mirror;
  std::vector<std::string> links;  // made by this run

  ~Ports() {
    for (const std::string& link : links) unlink(link.c_str());
    CloseEndpoint(&mirror);
    CloseEndpoint(&line);
  }
  // What to give the driver: the link, or the port's own name.
  std::string Name(const SimOptions& options) const {
    return options.link.empty() ? line.portName : options.link;
  }
};

// Opens the line's end and the tap, and makes the links asked for; the
// exit status when it cannot, after saying why, or -1.
int OpenPorts(const SimOptions& options, Ports* ports) {
  std::string error;
  const bool opened = options.device.empty()
                          ? OpenPseudoTerminal(&ports->line, &error)
                          : OpenSerialDevice(options.device, options.baud ? options.baud : kDefaultDeviceBaud,
                                             &ports->line, &error);
  if (!opened) {
    std::fprintf(stderr, "tovek-sim: %s\n", error.c_str());
    return 1;
  }
  if (!options.link.empty()) {
    if (!MakeLink("--link", options.link, ports->line.path)) return kExitUsage;
    ports->links.push_back(options.link);
  }
  if (options.mirror.empty()) return -1;
  if (!OpenPseudoTerminal(&ports->mirror, &error)) {
    std::fprintf(stderr, "tovek-sim: --mirror: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!MakeLink("--mirror", options.mirror, ports->mirror.path)) return kExitUsage;
  ports->links.push_back(options.mirror);
  return -1;
}

// Tells the port: in --port-file when asked, and on standard output.
bool TellPort(const SimOptions& options, const std::string& port) {
  if (!options.portFile.empty()) {
    std::ofstream file(options.portFile);
    file << port << "\n";
    if (!file) {
      std::fprintf(stderr, "tovek-sim: --port-file: cannot write %s: %s\n", options.portFile.c_str(),
                   strerror(errno));
      return false;
    }
  }
  // Scripts read the bare port name from a pipe; a person sees what runs.
  if (isatty(STDOUT_FILENO)) {
    std::printf("tovek-sim: listening on %s as %s; Ctrl-C ends\n", port.c_str(),
                SettingsText(options).c_str());
  } else {
    std::printf("%s\n", port.c_str());
  }
  std::fflush(stdout);
  return true;
}

// Serves the line until a signal ends it.
void Serve(const SimOptions& options, sim::ControllerBus& bus, ReplayAnswers* replay, const Ports& ports) {
  LineServer server(ports.line.fd, bus, options.baud, options.verbose ? stderr : nullptr);
  if (options.driftMs > 0) {
    server.SetTick(static_cast<int64_t>(options.driftMs * 1e6), [&bus] { bus.DriftAll(); });
  }
  if (ports.mirror.fd >= 0) server.SetMirror(ports.mirror.fd);
  if (!options.replay.empty()) server.SetReplay(replay);
  server.Run(g_stop);
}

// What the line saw, on standard error and in --stats-file.
void TellStatistics(const SimOptions& options, const sim::ControllerBus& bus, const ReplayAnswers& replay) {
  if (!options.replay.empty()) {
    std::fprintf(stderr, "tovek-sim: %llu requests answered from the capture, %llu it never held\n",
                 static_cast<unsigned long long>(replay.answered()),
                 static_cast<unsigned long long>(replay.unknown()));
  } else {
    PrintStatistics(bus.statistics(), stderr);
  }
  if (!options.statsFile.empty() && !WriteStatisticsFile(bus.statistics(), options.statsFile)) {
    std::fprintf(stderr, "tovek-sim: --stats-file: cannot write %s\n", options.statsFile.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  sim::ControllerBus bus;
  PopulateBus(options, &bus);
  ReplayAnswers replay;
  std::string why;
  if (!options.replay.empty() && !replay.Load(options.replay, options.baud, &why)) {
    std::fprintf(stderr, "tovek-sim: --replay: %s\n", why.c_str());
    return kExitUsage;
  }
  CatchSignals();
  Ports ports;
  const int failed = OpenPorts(options, &ports);
  if (failed >= 0) return failed;
  if (!TellPort(options, ports.Name(options))) return kExitUsage;
  Serve(options, bus, &replay, ports);
  TellStatistics(options, bus, replay);
  return g_stop != 0 ? ExitStatusAfter(g_stop) : 0;
}
