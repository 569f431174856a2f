// tovek-sim: a simulated TOVEK controller on a serial line. By default it
// creates a pseudo-terminal and prints the port name to give the driver;
// with --device it serves an existing serial device.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "line_server.h"
#include "serial_endpoint.h"
#include "sim/tovek_controller.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

std::vector<uint8_t> ParseByteList(const std::string& text) {
  std::vector<uint8_t> bytes;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!item.empty()) bytes.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 0) & 0xFF));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated TOVEK controller on a pseudo-terminal or a serial device"};
  std::string device;
  std::vector<unsigned> stations;
  int sPoint = -1;
  std::vector<std::string> pointValues;
  std::string blockValues;
  int blockCount = -1;
  unsigned baud = 0;
  double turnaroundMs = 0;
  double faultRate = 0;
  std::string faultList = "no-reply,short-reply,status-error,bad-checksum,wrong-block-count,stray-bytes";
  std::vector<std::string> scripted;
  uint32_t seed = 1;
  double faultDelayMs = 200;
  bool verbose = false;
  std::string portFile;
  std::string link;
  std::string statsFile;
  app.add_option("--device", device, "Serve this serial device instead of a new pseudo-terminal");
  app.add_option("--station", stations, "Station address of a controller on the line (repeat for several)")
      ->check(CLI::Range(0u, 9999u));
  app.add_option("--s-point", sPoint, "Value of the S point (0-9); default: the station's last digit")
      ->check(CLI::Range(0, 9));
  app.add_option("--point", pointValues,
                 "Value of a numbered point, as N=V (repeat); default: N + station, mod 256");
  app.add_option("--block", blockValues, "Values a block read answers with, comma-separated");
  app.add_option("--block-count", blockCount, "Answer block reads with this many values (1, 2, 3 ...)")
      ->check(CLI::Range(0, 255));
  app.add_option("--baud", baud, "Pace the line at this baud rate, 10 bits a character (0: unpaced)");
  app.add_option("--turnaround-ms", turnaroundMs,
                 "Pause between the end of a request and its reply; make it longer than the driver's read "
                 "time-out for a controller whose every reply is late");
  app.add_option("--fault-rate", faultRate, "Probability of a fault in each reply (0-1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--faults", faultList, "Fault kinds to draw from, comma-separated");
  app.add_option("--fault-script", scripted, "Faults for the next replies, in order (e.g. no-reply)");
  app.add_option("--fault-delay-ms", faultDelayMs, "How late a reply with the 'delay' fault comes");
  app.add_option("--seed", seed, "Seed of the fault draw");
  app.add_flag("-v,--verbose", verbose, "Trace every request and reply with a timestamp");
  app.add_option("--port-file", portFile, "Also write the port name to this file");
  app.add_option("--stats-file", statsFile, "On exit, write the statistics to this file");
  app.add_option("--link", link, "Make a symbolic link with this path to the pseudo-terminal");
  CLI11_PARSE(app, argc, argv);

  if (stations.empty()) stations.push_back(1);
  sim::ControllerBus bus;
  for (unsigned station : stations) {
    sim::TovekController& controller = bus.Add(static_cast<uint16_t>(station));
    controller.sPoint = static_cast<uint8_t>(sPoint >= 0 ? sPoint : static_cast<int>(station % 10));
    for (size_t n = 0; n < controller.points.size(); ++n)
      controller.points[n] = static_cast<uint8_t>(n + station);
    for (const std::string& item : pointValues) {
      const size_t eq = item.find('=');
      if (eq == std::string::npos) {
        std::fprintf(stderr, "tovek-sim: --point takes N=V, not %s\n", item.c_str());
        return 64;
      }
      const unsigned long n = std::stoul(item.substr(0, eq));
      if (n < controller.points.size())
        controller.points[n] = static_cast<uint8_t>(std::stoul(item.substr(eq + 1), nullptr, 0));
    }
    if (!blockValues.empty()) {
      controller.block = ParseByteList(blockValues);
    } else {
      const int count = blockCount >= 0 ? blockCount : 16;
      for (int i = 0; i < count; ++i) controller.block.push_back(static_cast<uint8_t>(i + 1));
    }
  }
  std::vector<sim::Fault> kinds;
  for (const std::string& name : CLI::detail::split(faultList, ',')) {
    sim::Fault fault;
    if (!sim::ParseFaultName(name, &fault)) {
      std::fprintf(stderr, "tovek-sim: unknown fault '%s'\n", name.c_str());
      return 64;
    }
    kinds.push_back(fault);
  }
  for (const std::string& name : scripted) {
    sim::Fault fault;
    if (!sim::ParseFaultName(name, &fault)) {
      std::fprintf(stderr, "tovek-sim: unknown fault '%s'\n", name.c_str());
      return 64;
    }
    bus.scriptedFaults.push_back(fault);
  }
  bus.SetRandomFaults(faultRate, kinds, seed);
  bus.faultDelayMicroseconds = static_cast<uint64_t>(faultDelayMs * 1000);
  bus.turnaroundMicroseconds = static_cast<uint64_t>(turnaroundMs * 1000);

  SerialEndpoint endpoint;
  std::string error;
  const bool opened = device.empty() ? OpenPseudoTerminal(&endpoint, &error)
                                     : OpenSerialDevice(device, baud ? baud : 9600, &endpoint, &error);
  if (!opened) {
    std::fprintf(stderr, "tovek-sim: %s\n", error.c_str());
    return 1;
  }
  if (!link.empty()) {
    unlink(link.c_str());
    if (symlink(endpoint.path.c_str(), link.c_str()) != 0) {
      std::fprintf(stderr, "tovek-sim: cannot link %s: %s\n", link.c_str(), strerror(errno));
      return 1;
    }
  }
  std::printf("%s\n", link.empty() ? endpoint.portName.c_str() : link.c_str());
  std::fflush(stdout);
  if (!portFile.empty()) std::ofstream(portFile) << (link.empty() ? endpoint.portName : link) << "\n";

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  LineServer server(endpoint.fd, bus, baud, verbose ? stderr : nullptr);
  server.Run(g_stop);

  const sim::BusStatistics& stats = bus.statistics();
  std::fprintf(stderr, "tovek-sim: %llu frames, %llu answered, %llu ignored, %llu with a fault",
               static_cast<unsigned long long>(stats.frames), static_cast<unsigned long long>(stats.answered),
               static_cast<unsigned long long>(stats.ignored), static_cast<unsigned long long>(stats.faults));
  for (size_t i = 1; i < stats.byFault.size(); ++i) {
    if (stats.byFault[i] != 0) {
      std::fprintf(stderr, ", %s %llu", sim::FaultName(static_cast<sim::Fault>(i)),
                   static_cast<unsigned long long>(stats.byFault[i]));
    }
  }
  std::fprintf(stderr, "\n");
  if (!statsFile.empty()) {
    std::ofstream out(statsFile);
    out << "frames " << stats.frames << "\nanswered " << stats.answered << "\nignored " << stats.ignored
        << "\nfaults " << stats.faults << "\n";
  }
  if (!link.empty()) unlink(link.c_str());
  CloseEndpoint(&endpoint);
  return 0;
}
