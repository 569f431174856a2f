// qvotk-gateway, measured against tovek-sim on pseudo-terminals:
// - points per second on one line paced at 9600 baud, over what the wire
//   carries for the same mix of requests (goal: at least 0.95);
// - Modbus TCP reads served from the gateway's values, 16 clients at once:
//   the latency's median and 99th percentile;
// - the gateway's CPU per polled point, unpaced;
// - values per second through MQTT from 8 unpaced lines;
// - the time of a Prometheus scrape of /metrics with 100 points polled
//   (goal: under 5 ms);
// - 1, 16, 200 and 1000 Modbus TCP clients reading as HMIs do, as JSON:
//   the gateway's threads, the latency, the clients refused, each also as
//   a ratio to 16 clients (goals: threads constant, p99 at 200 clients
//   within 4 times that at 16, none refused at 1000).
// Reported, never asserted; a part that measured nothing fails the run.
// Needs mosquitto (tools/install-deps.sh core). `qvo_gateway_bench clients`
// runs the last part alone, and prints nothing but its JSON.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "support/free_port.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBin = QVO_BIN_DIR;

std::string Simulator(std::vector<std::unique_ptr<ChildProcess>>* children,
                      std::vector<std::string> arguments) {
  children->push_back(std::make_unique<ChildProcess>());
  std::string error, port;
  children->back()->Start(kBin + "/tovek-sim", arguments, &error);
  children->back()->ReadLine(&port, 5000);
  return port;
}

// A line with points S and 001 of station 1, polled back to back.
std::string LineConfig(const std::string& name, const std::string& port, int baud) {
  return "[[line]]\nname = \"" + name + "\"\nport = \"" + port + "\"\nbaud = " + std::to_string(baud) +
         "\ntimeout_ms = 200\n  [[line.station]]\n  address = 1\n  unit_id = " +
         std::to_string(name.back() - '0' + 1) +
         "\n    [[line.station.point]]\n    name = \"S\"\n    register = 0\n    interval_ms = 10\n"
         "    [[line.station.point]]\n    name = \"001\"\n    register = 1\n    interval_ms = 10\n";
}

struct Gateway {
  ChildProcess process;
  std::string log;

  bool Start(const std::string& folder, const std::string& config) {
    std::ofstream(folder + "/gateway.toml") << config;
    log = folder + "/gateway.log";
    std::string error;
    return process.Start(
        "/bin/sh", {"-c", "exec " + kBin + "/qvotk-gateway --config " + folder + "/gateway.toml 2>" + log},
        &error);
  }
  // The requests polled so far, all stations, from the counters it logs.
  long Requests() {
    kill(process.pid(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ifstream file(log);
    std::string line, last;
    while (std::getline(file, line)) {
      if (line.find(" stats ") != std::string::npos) last = line;
    }
    if (last.empty()) return 0;
    long total = 0;
    const auto stats = nlohmann::json::parse(last.substr(last.find(" stats ") + 7));
    for (const auto& [station, counted] : stats["stations"].items()) total += counted["requests"].get<long>();
    return total;
  }
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(process.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
};

double Percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? 0 : samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1))];
}

void PacedLine(const std::string& folder) {
  std::vector<std::unique_ptr<ChildProcess>> children;
  const std::string port = Simulator(&children, {"--station", "1", "--baud", "9600"});
  Gateway gateway;
  gateway.Start(folder, LineConfig("line0", port, 9600));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long before = gateway.Requests();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long polled = gateway.Requests() - before;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count() - 0.1;
  // Half S reads (17 + 21 characters), half point reads (19 + 23), 10 bits
  // a character at 9600 baud.
  const double wirePerPoint = (38.0 + 42.0) / 2 * 10 / 9600;
  const double perSecond = static_cast<double>(polled) / seconds;
  std::printf("one line at 9600 baud: %.2f points/s, the wire's limit %.2f: ratio %.3f (goal >= 0.95)\n",
              perSecond, 1 / wirePerPoint, perSecond * wirePerPoint);
  gateway.process.Stop();
}

void ModbusAndCpu(const std::string& folder) {
  std::vector<std::unique_ptr<ChildProcess>> children;
  const std::string port = Simulator(&children, {"--station", "1"});
  const int modbusPort = FreeTcpPort();
  Gateway gateway;
  gateway.Start(folder, "[modbus]\nlisten = \"127.0.0.1\"\nport = " + std::to_string(modbusPort) + "\n" +
                            LineConfig("line0", port, 9600));
  std::this_thread::sleep_for(std::chrono::seconds(1));

  const long before = gateway.Requests();
  const double cpuBefore = gateway.CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long polled = gateway.Requests() - before;
  const double cpu = gateway.CpuSeconds() - cpuBefore;
  std::printf(
      "CPU per polled point, unpaced: %.1f us (%ld points, %.2f s of CPU; the driver's system calls "
      "included)\n",
      cpu * 1e6 / static_cast<double>(std::max(polled, 1L)), polled, cpu);

  std::vector<std::vector<double>> latencies(16);
  std::vector<std::thread> clients;
  for (size_t c = 0; c < latencies.size(); ++c) {
    clients.emplace_back([&, c] {
      modbus_t* client = modbus_new_tcp("127.0.0.1", modbusPort);
      modbus_set_slave(client, 1);
      if (modbus_connect(client) != 0) return;
      uint16_t registers[2];
      for (int i = 0; i < 2000; ++i) {
        const auto asked = Clock::now();
        if (modbus_read_registers(client, 0, 2, registers) == 2) {
          latencies[c].push_back(std::chrono::duration<double, std::micro>(Clock::now() - asked).count());
        }
      }
      modbus_close(client);
      modbus_free(client);
    });
  }
  for (std::thread& client : clients) client.join();
  std::vector<double> all;
  for (const auto& each : latencies) all.insert(all.end(), each.begin(), each.end());
  std::printf("Modbus TCP reads from the values kept, 16 clients: %zu reads, p50 %.0f us, p99 %.0f us\n",
              all.size(), Percentile(all, 0.5), Percentile(all, 0.99));
  gateway.process.Stop();
}

void MqttEightLines(const std::string& folder) {
  std::vector<std::unique_ptr<ChildProcess>> children;
  const int brokerPort = FreeTcpPort();
  std::ofstream(folder + "/mosquitto.conf")
      << "listener " << brokerPort << " 127.0.0.1\nallow_anonymous true\nlog_dest none\n";
  children.push_back(std::make_unique<ChildProcess>());
  std::string error;
  children.back()->Start("/usr/sbin/mosquitto", {"-c", folder + "/mosquitto.conf"}, &error);
  std::string config = "[gateway]\nstate_directory = \"" + folder +
                       "/state\"\n[mqtt]\nhost = \"127.0.0.1\"\nport = " + std::to_string(brokerPort) +
                       "\nqos = 0\n";
  for (int line = 0; line < 8; ++line) {
    // Values that move at every poll, so that each one is published.
    const std::string port = Simulator(&children, {"--station", "1", "--drift-ms", "1"});
    config += LineConfig("line" + std::to_string(line), port, 9600);
  }
  Gateway gateway;
  gateway.Start(folder, config);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ChildProcess counter;
  counter.Start("/usr/bin/mosquitto_sub", {"-p", std::to_string(brokerPort), "-t", "qvotk/+/+/+", "-W", "5"},
                &error);
  long messages = 0;
  std::string line;
  while (counter.ReadLine(&line, 6000)) ++messages;
  std::printf("MQTT from 8 unpaced lines: %.0f values/s published (QoS 0)\n",
              static_cast<double>(messages) / 5);
  gateway.process.Stop();
}

// One GET of /metrics on 127.0.0.1:`port`, read to its end; its length, 0 on failure.
size_t Scrape(int port) {
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  size_t got = 0;
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(client, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
    char buffer[65536];
    for (ssize_t n; (n = recv(client, buffer, sizeof buffer, 0)) > 0;) got += static_cast<size_t>(n);
  }
  close(client);
  return got;
}

// 100 points on 4 stations, each read every 100 ms, unpaced: every series
// there is once they have all been read.
bool MetricsScrape(const std::string& folder) {
  std::vector<std::unique_ptr<ChildProcess>> children;
  const std::string port =
      Simulator(&children, {"--station", "1", "--station", "2", "--station", "3", "--station", "4"});
  const int metricsPort = FreeTcpPort();
  std::string config = "[metrics]\nlisten = \"127.0.0.1:" + std::to_string(metricsPort) +
                       "\"\n[[line]]\nname = \"line0\"\nport = \"" + port + "\"\ntimeout_ms = 200\n";
  for (int station = 1; station <= 4; ++station) {
    config += "  [[line.station]]\n  address = " + std::to_string(station) + "\n";
    for (int point = 1; point <= 25; ++point) {
      char name[8];
      std::snprintf(name, sizeof name, "%03d", point);
      config +=
          "    [[line.station.point]]\n    name = \"" + std::string(name) + "\"\n    interval_ms = 100\n";
    }
  }
  Gateway gateway;
  gateway.Start(folder, config);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<double> times;
  size_t bytes = 0;
  for (int i = 0; i < 200; ++i) {
    const auto asked = Clock::now();
    bytes = Scrape(metricsPort);
    if (bytes == 0) break;
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
  }
  gateway.process.Stop();
  if (times.empty()) {
    std::printf("a scrape of /metrics with 100 points: no scrape answered\n");
    return false;
  }
  std::printf("a scrape of /metrics with 100 points (%zu bytes): p50 %.2f ms, p99 %.2f ms (goal < 5 ms)\n",
              bytes, Percentile(times, 0.5), Percentile(times, 0.99));
  return true;
}

// One round of Modbus clients, each reading two registers every kHmiPeriod.
struct ClientRound {
  size_t clients = 0;
  long threads = 0;    // the gateway's, mid-round
  size_t refused = 0;  // not connected, or closed before a first reply
  size_t lost = 0;     // closed after one
  size_t asked = 0, reads = 0, exceptions = 0;
  size_t late = 0;  // a turn come while the last reply was still awaited
  double p50Ms = 0, p99Ms = 0;
};

constexpr auto kHmiPeriod = std::chrono::milliseconds(100);

struct Connection {
  int socket = -1;
  bool waiting = false, answered = false;
  Clock::time_point asked;
  uint8_t reply[16] = {};
  size_t got = 0;
};

long ThreadsOf(int pid) {
  const auto tasks = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task");
  return std::distance(begin(tasks), end(tasks));
}

int Connect(int port) {
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(client);
    return -1;
  }
  fcntl(client, F_SETFL, O_NONBLOCK);
  return client;
}

// Takes what came for `connection`; false when the gateway closed it.
bool TakeReply(Connection& connection, std::vector<double>* latencies, ClientRound* round) {
  // What is to come: the header, then the rest its length names.
  auto whole = [&connection] {
    return connection.got < 7 ? size_t{7}
                              : std::min<size_t>(sizeof connection.reply, 6 + connection.reply[5]);
  };
  for (;;) {
    const ssize_t read =
        recv(connection.socket, connection.reply + connection.got, whole() - connection.got, 0);
    if (read < 0 && errno == EAGAIN) return true;
    if (read <= 0) return false;
    connection.got += static_cast<size_t>(read);
    if (connection.got < whole()) continue;
    latencies->push_back(std::chrono::duration<double, std::milli>(Clock::now() - connection.asked).count());
    ++round->reads;
    if ((connection.reply[7] & 0x80) != 0) ++round->exceptions;
    connection.waiting = false;
    connection.answered = true;
    connection.got = 0;
  }
}

// `count` clients, connected one after another, then asking for `seconds`,
// their turns spread evenly over the period; all from this one thread, so
// that the bench's own threads take no core from the gateway.
ClientRound PacedClients(int port, int pid, size_t count, int seconds) {
  ClientRound round;
  round.clients = count;
  std::vector<Connection> connections(count);
  const int loop = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < count; ++i) {
    connections[i].socket = Connect(port);
    if (connections[i].socket < 0) ++round.refused;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    if (connections[i].socket >= 0) epoll_ctl(loop, EPOLL_CTL_ADD, connections[i].socket, &event);
  }
  const uint8_t request[] = {0, 1, 0, 0, 0, 6, 1, 0x03, 0, 0, 0, 2};  // unit 1, registers 0-1
  std::vector<double> latencies;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  auto dueAt = [&](size_t client, long turn) {
    return start + kHmiPeriod * turn + kHmiPeriod * static_cast<long>(client) / static_cast<long>(count);
  };
  size_t next = 0;
  long turn = 0;
  bool threadsCounted = false;
  epoll_event events[256];
  while (Clock::now() < end) {
    for (const auto now = Clock::now(); dueAt(next, turn) <= now;) {
      Connection& connection = connections[next];
      if (connection.socket >= 0 && connection.waiting) ++round.late;
      if (connection.socket >= 0 && !connection.waiting &&
          send(connection.socket, request, sizeof request, MSG_NOSIGNAL) == sizeof request) {
        connection.asked = Clock::now();
        ++round.asked;
        connection.waiting = true;
      }
      if (++next == count) {
        next = 0;
        ++turn;
      }
    }
    if (!threadsCounted && Clock::now() - start > std::chrono::seconds(seconds) / 2) {
      round.threads = ThreadsOf(pid);
      threadsCounted = true;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(dueAt(next, turn) - Clock::now());
    const int ready = epoll_wait(loop, events, 256, static_cast<int>(std::max<int64_t>(1, wait.count())));
    for (int i = 0; i < ready; ++i) {
      Connection& connection = connections[events[i].data.u64];
      if (TakeReply(connection, &latencies, &round)) continue;
      ++(connection.answered ? round.lost : round.refused);
      close(connection.socket);
      connection.socket = -1;
    }
  }
  for (const Connection& connection : connections) {
    if (connection.socket >= 0) close(connection.socket);
  }
  close(loop);
  round.p50Ms = Percentile(latencies, 0.5);
  round.p99Ms = Percentile(latencies, 0.99);
  return round;
}

// The rounds as JSON on one line, with the ratios to 16 clients; false
// when a round read nothing.
bool ManyClients(const std::string& folder) {
  // The bench holds 1000 sockets itself.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  std::vector<std::unique_ptr<ChildProcess>> children;
  const std::string port = Simulator(&children, {"--station", "1"});
  const int modbusPort = FreeTcpPort();
  Gateway gateway;
  gateway.Start(folder, "[modbus]\nlisten = \"127.0.0.1\"\nport = " + std::to_string(modbusPort) +
                            "\nmax_clients = 1024\n" + LineConfig("line0", port, 9600));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  nlohmann::ordered_json rounds = nlohmann::ordered_json::array();
  std::map<size_t, ClientRound> by;
  bool measured = true;
  for (const size_t count : {size_t{1}, size_t{16}, size_t{200}, size_t{1000}}) {
    const ClientRound round = PacedClients(modbusPort, gateway.process.pid(), count, 4);
    by[count] = round;
    measured = measured && round.reads > 0 && round.threads > 0;
    rounds.push_back({{"clients", round.clients},
                      {"threads", round.threads},
                      {"asked", round.asked},
                      {"reads", round.reads},
                      {"exceptions", round.exceptions},
                      {"late_turns", round.late},
                      {"refused", round.refused},
                      {"lost", round.lost},
                      {"p50_ms", round.p50Ms},
                      {"p99_ms", round.p99Ms}});
  }
  gateway.process.Stop();
  auto ratio = [](auto value, auto to) {
    return to > 0 ? static_cast<double>(value) / static_cast<double>(to) : 0.0;
  };
  const ClientRound& sixteen = by[16];
  const nlohmann::ordered_json report = {{"modbus_clients",
                                          {{"period_ms", kHmiPeriod.count()},
                                           {"registers_a_read", 2},
                                           {"rounds", rounds},
                                           {"to_16_clients",
                                            {{"threads_at_1", ratio(by[1].threads, sixteen.threads)},
                                             {"threads_at_200", ratio(by[200].threads, sixteen.threads)},
                                             {"threads_at_1000", ratio(by[1000].threads, sixteen.threads)},
                                             {"p99_at_200", ratio(by[200].p99Ms, sixteen.p99Ms)},
                                             {"p99_at_1000", ratio(by[1000].p99Ms, sixteen.p99Ms)}}},
                                           {"refused_at_1000", by[1000].refused},
                                           {"measured", measured}}}};
  std::printf("%s\n", report.dump().c_str());
  return measured;
}

}  // namespace

int main(int argc, char** argv) {
  TemporaryWorkingDirectory folder;
  if (argc > 1 && std::string(argv[1]) == "clients") return ManyClients(folder.path()) ? 0 : 1;
  PacedLine(folder.path());
  ModbusAndCpu(folder.path());
  MqttEightLines(folder.path());
  const bool scraped = MetricsScrape(folder.path());
  return ManyClients(folder.path()) && scraped ? 0 : 1;
}
