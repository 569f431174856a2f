// qvotk-gateway: TOVEK controllers on Modbus TCP and MQTT. A host of the
// qvotk driver like any other, through its one export: it polls the lines
// of its configuration and serves what it reads.
//
//   qvotk-gateway --config /etc/qvotk/gateway.toml
//   qvotk-gateway --check-config /etc/qvotk/gateway.toml
//
// It runs in the foreground, for a service manager. SIGTERM and SIGINT stop
// it within a second; SIGHUP reloads the configuration; SIGUSR1 logs the
// counters of every station.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config.h"
#include "gateway.h"
#include "line_health.h"
#include "log.h"
#include "qvotk_host/driver_library.h"
#include "qvotk_host/host_facts.h"
#include "service_manager.h"

namespace {

constexpr int kStopWithinMs = 600;

std::string SelfDirectory() {
  std::error_code failed;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
  return failed ? "." : self.parent_path().string();
}

// A private capture per line, so that the attempts of each request can be
// counted, unless the environment names captures of its own. The folder is
// named after the process: one a gateway killed outright left behind is
// removed by the next.
std::string CaptureEachLine() {
  const char* asked = std::getenv("QVOTK_CAPTURE");
  if (asked != nullptr && asked[0] != '\0') return "";
  const auto temporary = std::filesystem::temp_directory_path();
  const std::string prefix = "qvotk-gateway-";
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(temporary, failed)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), failed);
    }
  }
  const auto folder = temporary / (prefix + std::to_string(getpid()));
  std::filesystem::create_directory(folder, failed);
  if (failed) return "";
  setenv("QVOTK_CAPTURE", (folder / "%p.pcap").string().c_str(), 1);
  return folder.string();
}

// Each Modbus client holds a descriptor, and systemd gives a service a soft
// limit of 1024 with a hard one far above: the soft limit is raised to the
// hard one. What the gateway holds beside its clients (ports, captures,
// the broker, metrics) is counted generously.
void RaiseOpenFileLimit(const gateway::Config& config) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
  }
  const rlim_t needed = static_cast<rlim_t>(config.modbus.maxClients) + 64 + 4 * config.lines.size();
  if (config.modbus.enabled && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    gateway::Log(gateway::Level::Warning, "modbus",
                 "max_clients = " + std::to_string(config.modbus.maxClients) + " needs about " +
                     std::to_string(needed) + " open files, and the limit is " +
                     std::to_string(limit.rlim_cur) +
                     ": clients past it are refused (raise LimitNOFILE=, or lower max_clients)");
  }
}

struct Options {
  std::string configFile, checkFile, driver;
  bool verbose = false;
};

// The command line; false with the exit status when there is nothing to run.
bool ParseOptions(int argc, char** argv, Options* options, int* status) {
  CLI::App app{"qvotk-gateway: TOVEK controllers on Modbus TCP and MQTT, through the qvotk driver"};
  app.name("qvotk-gateway");
  app.add_option("-c,--config", options->configFile, "The configuration file (TOML)");
  app.add_option("--check-config", options->checkFile,
                 "Check this configuration file and exit: 0 when it is good, 64 when not");
  app.add_option("--driver", options->driver,
                 "The driver library (default: the configuration's, or the one beside the gateway)");
  app.add_flag("-v,--verbose", options->verbose, "Log debug lines too");
  app.set_version_flag("-V,--version", std::string("qvotk-gateway ") + QVO_VERSION);
  app.footer(
      "Exit status: 0 stopped by SIGTERM or SIGINT; 1 the driver or the Modbus listener could not be "
      "started; 64 a usage or configuration error.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    *status = code == 0 ? 0 : qvotk_host::kExitUsage;
    return false;
  }
  if (options->checkFile.empty() && options->configFile.empty()) {
    std::fprintf(stderr, "qvotk-gateway: --config FILE is needed (see --help)\n");
    *status = qvotk_host::kExitUsage;
    return false;
  }
  return true;
}

std::string Percent(double share) { return std::to_string(static_cast<long>(share * 100 + 0.5)) + "%"; }

// What --check-config and the start warn of: a password others may read, a
// line whose points ask more of the wire than it has.
std::vector<std::string> Warnings(const gateway::Config& config) {
  std::vector<std::string> warnings = gateway::ConfigWarnings(config);
  for (const auto& line : config.lines) {
    const double load = gateway::WireLoad(line);
    if (load > 1) {
      warnings.push_back(
          "line " + line.name + ": its points ask for " + Percent(load) +
          " of the wire: they cannot be read at their intervals (lengthen interval_ms, or raise "
          "the baud rate)");
    }
  }
  return warnings;
}

// Reads `file`, or says why not.
bool Load(const std::string& file, gateway::Config* config) {
  std::string error;
  if (gateway::LoadConfig(file, config, &error)) return true;
  std::fprintf(stderr, "qvotk-gateway: %s\n", error.c_str());
  return false;
}

int CheckConfig(const Options& options) {
  gateway::Config config;
  if (!Load(options.checkFile, &config)) return qvotk_host::kExitUsage;
  size_t stations = 0, points = 0;
  for (const auto& line : config.lines) {
    stations += line.stations.size();
    for (const auto& station : line.stations) points += station.points.size();
  }
  std::printf("%s: good: %zu lines, %zu stations, %zu points\n", options.checkFile.c_str(),
              config.lines.size(), stations, points);
  for (const auto& line : config.lines) {
    std::printf("line %s: wire load %s at %d baud\n", line.name.c_str(),
                Percent(gateway::WireLoad(line)).c_str(), line.baud);
  }
  for (const std::string& warning : Warnings(config)) std::fprintf(stderr, "warning: %s\n", warning.c_str());
  return 0;
}

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Tells the service manager the gateway is alive only while every line
// worker keeps coming back to its loop: at most every quarter of the
// interval, and each worker back since the last notice. So a request may
// hold its worker for three quarters of the interval; one stuck longer
// gets the service restarted.
class Watchdog {
 public:
  Watchdog() : intervalUs_(static_cast<int64_t>(gateway::WatchdogIntervalUs())), lastUs_(SteadyUs()) {}

  // How long the signals may be waited for between two looks.
  int64_t lookEveryUs() const {
    return intervalUs_ == 0 ? 200000 : std::min<int64_t>(200000, intervalUs_ / 8);
  }

  void Look(const gateway::Gateway& service) {
    if (intervalUs_ == 0) return;
    const int64_t now = SteadyUs();
    if (now - lastUs_ < intervalUs_ / 4 || service.OldestLoopUs() <= lastUs_) return;
    gateway::TellAlive();
    lastUs_ = now;
  }

 private:
  const int64_t intervalUs_;
  int64_t lastUs_;
};

void Reload(gateway::Gateway* service, const Options& options, gateway::Config* config) {
  gateway::TellReloading();
  gateway::Config fresh;
  std::string error;
  if (!gateway::LoadConfig(options.configFile, &fresh, &error)) {
    gateway::Log(gateway::Level::Error, "gateway",
                 "reload refused, the configuration in use stays: " + error);
    return;
  }
  if (!options.driver.empty()) fresh.driver = options.driver;
  service->Reload(fresh);
  *config = fresh;
}

// Takes the signals until SIGTERM or SIGINT, then stops the gateway and
// ends the process, without waiting for a request in flight: the process's
// end releases its port. The service manager hears that the gateway is
// ready once every line is opened or set to be tried again.
[[noreturn]] void ServeUntilStopped(gateway::Gateway* service, const Options& options, gateway::Config config,
                                    const sigset_t& signals, const std::string& captures) {
  auto nextStats = std::chrono::steady_clock::now() + std::chrono::seconds(config.statsIntervalS);
  Watchdog watchdog;
  bool ready = false;
  for (;;) {
    const int64_t waitUs = ready ? watchdog.lookEveryUs() : 10000;
    const timespec tick = {0, static_cast<long>(waitUs * 1000)};
    const int received = sigtimedwait(&signals, nullptr, &tick);
    if (received == SIGTERM || received == SIGINT) {
      gateway::TellStopping();
      gateway::Log(gateway::Level::Info, "gateway",
                   std::string("stopping on ") + (received == SIGTERM ? "SIGTERM" : "SIGINT"));
      service->Stop(kStopWithinMs);
      std::error_code ignored;
      if (!captures.empty()) std::filesystem::remove_all(captures, ignored);
      gateway::Log(gateway::Level::Info, "gateway", "stopped");
      std::_Exit(0);
    }
    if (received == SIGHUP) {
      Reload(service, options, &config);
      ready = false;
    }
    if (received == SIGUSR1) service->LogStats();
    if (!ready && service->LinesSettled()) {
      gateway::TellReady();
      ready = true;
    }
    watchdog.Look(*service);
    if (std::chrono::steady_clock::now() >= nextStats) {
      service->PublishStats();
      nextStats += std::chrono::seconds(config.statsIntervalS);
    }
  }
}

int Serve(const Options& options) {
  gateway::Config config;
  std::string error;
  if (!Load(options.configFile, &config)) return qvotk_host::kExitUsage;
  if (!options.driver.empty()) config.driver = options.driver;
  // Signals are taken on the main thread, whatever the others do.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  gateway::LogStandardError();
  RaiseOpenFileLimit(config);
  for (const std::string& warning : Warnings(config))
    gateway::Log(gateway::Level::Warning, "gateway", warning);
  DriverLibrary library;
  if (!LoadDriverLibrary(config.driver, SelfDirectory(), &library, &error)) {
    gateway::Log(gateway::Level::Error, "gateway", error);
    return 1;
  }
  const std::string captures = CaptureEachLine();
  gateway::Gateway service(library.entry);
  if (!service.Start(config, &error)) {
    gateway::Log(gateway::Level::Error, "gateway", error);
    return 1;
  }
  gateway::Log(gateway::Level::Info, "gateway",
               "started with " + options.configFile + ": " + std::to_string(config.lines.size()) +
                   " lines, driver " + library.path);
  ServeUntilStopped(&service, options, config, signals, captures);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = 0;
  if (!ParseOptions(argc, argv, &options, &status)) return status;
  gateway::SetLogLevel(options.verbose ? gateway::Level::Debug : gateway::Level::Info);
  return options.checkFile.empty() ? Serve(options) : CheckConfig(options);
}
