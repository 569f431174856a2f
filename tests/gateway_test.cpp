// qvotk-gateway end to end: tovek-sim on pseudo-terminals (two lines, three
// stations and a silent one), Debian's mosquitto as the broker, mbpoll and
// mosquitto_sub/_pub as the clients: real programs nobody here wrote; and a
// Modbus TCP client of a few lines where a client must misbehave. What
// reached the line is read from tovek-sim's trace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "support/free_port.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"
#include "support/unpluggable_line.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
const std::string kBin = QVO_BIN_DIR;
const std::string kGatewayExample = QVO_GATEWAY_EXAMPLE;

// A command's exit status, with its standard output and error in `output`.
int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[512];
  output->clear();
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) *output += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits for `condition`, looked at every 20 ms, at most `seconds`.
bool WaitFor(const std::function<bool()>& condition, int seconds = 10) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// `text` with the first `from` made `to`; the test fails when there is none.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// A Modbus TCP request: the MBAP header with the protocol id and length
// given (the right length when -1), the unit id and the PDU.
Bytes Request(uint8_t unit, const Bytes& pdu, int protocol = 0, int length = -1) {
  const int following = length >= 0 ? length : static_cast<int>(pdu.size()) + 1;
  Bytes frame(7 + pdu.size());
  frame[1] = 1;  // transaction 1
  frame[2] = static_cast<uint8_t>(protocol >> 8);
  frame[3] = static_cast<uint8_t>(protocol);
  frame[4] = static_cast<uint8_t>(following >> 8);
  frame[5] = static_cast<uint8_t>(following);
  frame[6] = unit;
  std::copy(pdu.begin(), pdu.end(), frame.begin() + 7);
  return frame;
}
Bytes ReadRegister(uint8_t unit, uint8_t reg) { return Request(unit, {0x03, 0, reg, 0, 1}); }
Bytes WriteRegister(uint8_t unit, uint8_t reg, uint8_t value) {
  return Request(unit, {0x06, 0, reg, 0, value});
}
// The exception a reply carries; 0 for none, -1 for no reply.
int ExceptionOf(const Bytes& reply) {
  if (reply.size() < 9) return -1;
  return (reply[7] & 0x80) != 0 ? reply[8] : 0;
}

// A Modbus TCP client that sends whatever it is given, from 127.0.0.1 or
// another loopback address, with the socket's receive buffer as given.
class RawClient {
 public:
  explicit RawClient(int port, const char* from = "127.0.0.1", int receiveBuffer = 0)
      : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, from, &address.sin_addr);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~RawClient() { close(socket_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Send(const Bytes& bytes) { send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // One whole reply; empty when the connection ended or none came in `ms`.
  Bytes Reply(int ms = 5000) {
    Bytes reply(7);
    if (!Receive(reply.data(), 7, ms)) return {};
    const size_t following = static_cast<size_t>(reply[4] << 8 | reply[5]);
    if (following < 2) return {};
    reply.resize(6 + following);
    return Receive(reply.data() + 7, following - 1, ms) ? reply : Bytes{};
  }
  Bytes Ask(const Bytes& request) {
    Send(request);
    return Reply();
  }
  // Sends `request` over and over, 64 at a time, reading no reply, until
  // the gateway ends the connection (true) or `seconds` pass.
  bool SendUnread(const Bytes& request, int seconds) {
    Bytes many;
    for (int i = 0; i < 64; ++i) many.insert(many.end(), request.begin(), request.end());
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      pollfd watch = {socket_, POLLOUT, 0};
      poll(&watch, 1, 100);
      if ((watch.revents & (POLLERR | POLLHUP)) != 0) return true;
      if ((watch.revents & POLLOUT) != 0 &&
          send(socket_, many.data(), many.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) {
        return true;
      }
    }
    return false;
  }
  // True when the gateway closed the connection within `ms`, saying nothing.
  bool ClosedSilently(int ms = 5000) {
    pollfd watch = {socket_, POLLIN, 0};
    char byte = 0;
    return poll(&watch, 1, ms) == 1 && recv(socket_, &byte, 1, 0) <= 0;
  }

 private:
  bool Receive(uint8_t* into, size_t count, int ms) {
    for (size_t got = 0; got < count;) {
      pollfd watch = {socket_, POLLIN, 0};
      if (poll(&watch, 1, ms) != 1) return false;
      const ssize_t read = recv(socket_, into + got, count - got, 0);
      if (read <= 0) return false;
      got += static_cast<size_t>(read);
    }
    return true;
  }

  int socket_;
};

// mosquitto_sub kept running on a topic, ready once its subscription holds:
// what comes is read a message at a time, as it comes. With a `session`,
// the broker keeps what comes while the subscriber is away, exactly once
// (QoS 2), across its own restarts when it is persistent.
class Subscriber {
 public:
  bool Start(int brokerPort, const std::string& topic, const std::string& session = "") {
    port_ = std::to_string(brokerPort);
    std::string error, output;
    std::vector<std::string> arguments = {"-p", port_, "-v", "-t", topic, "-t", "probe"};
    if (!session.empty()) arguments.insert(arguments.end(), {"-c", "-i", session, "-q", "2"});
    if (!process_.Start("/usr/bin/mosquitto_sub", arguments, &error)) return false;
    for (int i = 0; i < 100; ++i) {
      RunCommand("mosquitto_pub -p " + port_ + " -t probe -m ready", &output);
      std::string line;
      if (process_.ReadLine(&line, 100) && line.rfind("probe ", 0) == 0) return true;
    }
    return false;
  }
  // The next message: topic and payload, or empty ones after `ms`.
  std::pair<std::string, std::string> Next(int ms = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    std::string line;
    while (Clock::now() < end) {
      const int left =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (!process_.ReadLine(&line, std::max(left, 1))) break;
      const size_t space = line.find(' ');
      if (space == std::string::npos || line.rfind("probe ", 0) == 0) continue;
      return {line.substr(0, space), line.substr(space + 1)};
    }
    return {};
  }
  // The "result" word of the next message (a write's answer).
  std::string NextResult(int ms = 10000) {
    const auto message = Next(ms);
    return message.first.empty() ? "" : Json::parse(message.second).value("result", "");
  }

 private:
  ChildProcess process_;
  std::string port_;
};

// A service manager's end of NOTIFY_SOCKET: what the gateway tells it, and when.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() { close(socket_); }
  const std::string& path() const { return path_; }

  // The next notice within `ms`, "" when none came.
  std::string Next(int ms) {
    pollfd ready = {socket_, POLLIN, 0};
    if (poll(&ready, 1, ms) != 1) return "";
    char notice[256];
    const ssize_t length = recv(socket_, notice, sizeof notice, 0);
    return length > 0 ? std::string(notice, static_cast<size_t>(length)) : "";
  }
  // Whether a notice starting with `text` comes within `ms`; the watchdog's
  // are passed over, unless asked for.
  bool Awaits(const std::string& text, int ms = 5000) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
      const std::string notice =
          Next(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()));
      if (notice.rfind(text, 0) == 0) return true;
    }
    return false;
  }

 private:
  std::string path_;
  int socket_ = -1;
};

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    brokerPort = FreeTcpPort();
    modbusPort = FreeTcpPort();
    ASSERT_TRUE(StartBroker());
    north.traceFile = workingDirectory.path() + "/north.trace";
    south.traceFile = workingDirectory.path() + "/south.trace";
    ASSERT_TRUE(
        north.Start({"--station", "12", "--station", "13", "--s-point", "12:4", "--point", "12:5=1"}));
    ASSERT_TRUE(south.Start({"--station", "7", "--s-point", "7:3", "--drift-ms", "300"}));
  }

  // The gateway ends before the simulators: left running, it would open
  // their ports' names again, which the system may have given to another
  // test's terminal by then.
  void TearDown() override {
    if (gateway != nullptr) gateway->Stop();
  }

  // A broker on brokerPort: anyone may publish, or as `settings` say; the
  // test's clients connect with `clients` (certificates, a user).
  bool StartBroker(const std::string& settings = "allow_anonymous true\n", const std::string& clients = "") {
    if (broker) broker->Stop();
    broker = std::make_unique<ChildProcess>();
    clientOptions = clients;
    // As root, mosquitto would read the files a test names as its own user.
    const std::string user = clients.empty() ? "" : "user root\n";
    const std::string persistence =
        persistentBroker ? "persistence true\npersistence_location " + workingDirectory.path() + "/\n"
                         : "persistence false\n";
    workingDirectory.WriteFile("mosquitto.conf", "listener " + std::to_string(brokerPort) + " 127.0.0.1\n" +
                                                     settings + user + persistence + "log_dest none\n");
    std::string error;
    if (!broker->Start("/usr/sbin/mosquitto", {"-c", workingDirectory.path() + "/mosquitto.conf"}, &error)) {
      return false;
    }
    std::string output;
    return WaitFor([&] { return Publish("-t probe -m 1") == 0; }, 5);
  }

  // The configuration of the fixture's lines; south also has a station that
  // never answers.
  std::string Config(const std::string& northPort) const {
    return R"([gateway]
state_directory = "state"
offline_after_failures = 2
retry_offline_s = 3
stats_interval_s = 1

[[line]]
name = "north"
port = ")" +
           northPort + R"("
timeout_ms = 50
  [[line.station]]
  address = 12
  unit_id = 1
  point = [{name = "S", register = 0, interval_ms = 100}, {name = "005", register = 5, interval_ms = 100}]
  [[line.station]]
  address = 13
  unit_id = 2
  point = [{name = "block", count = 16, register = 100, interval_ms = 200}]

[[line]]
name = "south"
port = ")" +
           south.port + R"("
timeout_ms = 20
  [[line.station]]
  address = 7
  unit_id = 3
  point = [{name = "S", register = 0, interval_ms = 100, publish_every_s = 1}]
  [[line.station]]
  address = 8
  unit_id = 4
  point = [{name = "S", register = 0, interval_ms = 100}]

[modbus]
listen = "127.0.0.1"
port = )" + std::to_string(modbusPort) +
           R"(

[mqtt]
host = "127.0.0.1"
port = )" + std::to_string(brokerPort) +
           "\n";
  }

  // Station 8, which never answers, polled once a day: after its first
  // poll it is still online, and a write to it holds the south line for
  // ten attempts of 100 ms. Writes queued behind it wait that long.
  std::string ConfigWithASilentStationOnline(const std::string& more = "") const {
    std::string config = Replaced(Config(north.port), "timeout_ms = 20", "timeout_ms = 100");
    config = Replaced(config, "retry_offline_s = 3", "retry_offline_s = 600\n" + more);
    return Replaced(config, "unit_id = 4\n  point = [{name = \"S\", register = 0, interval_ms = 100}]",
                    "unit_id = 4\n  point = [{name = \"S\", register = 0, interval_ms = 86400000}]");
  }
  // Starts the gateway on that configuration, and a write to station 8:
  // true once it is on the line.
  bool HoldTheSouthLine(RawClient* client) {
    if (Messages("qvotk/south/8/S", 1, 10).empty()) return false;  // its one poll is over
    client->Send(WriteRegister(4, 0, 5));
    return WaitFor([&] { return south.Traced("station 8: write S point = 5") > 0; });
  }

  // Starts the gateway on `config`, its log appended to gateway.log and its
  // temporary files in the test's folder, in the
  // environment given; ready once mbpoll reads a value, or, for a
  // configuration without unit 1, once it says it started.
  bool StartGateway(const std::string& config, bool unitOne = true, const std::string& environment = "") {
    workingDirectory.WriteFile("gateway.toml", config);
    gateway = std::make_unique<ChildProcess>();
    std::string error, output;
    return gateway->Start("/bin/sh",
                          {"-c", "TMPDIR=" + workingDirectory.path() + " " + environment + " exec " + kBin +
                                     "/qvotk-gateway --config gateway.toml 2>>gateway.log"},
                          &error) &&
           WaitFor([&] { return unitOne ? Modbus("-a 1 -r 1", &output) == 0 : Logged("started with") > 0; },
                   5);
  }

  // mbpoll against the gateway; `values` are written.
  int Modbus(const std::string& arguments, std::string* output, const std::string& values = "") const {
    return RunCommand(
        "mbpoll -m tcp -p " + std::to_string(modbusPort) + " -1 -q " + arguments + " 127.0.0.1 " + values,
        output);
  }

  // mosquitto_pub with `arguments`: "-t TOPIC -m PAYLOAD", "-r ...", "-l <FILE".
  int Publish(const std::string& arguments) const {
    std::string output;
    return RunCommand("mosquitto_pub -p " + std::to_string(brokerPort) + clientOptions + " " + arguments,
                      &output);
  }

  // The retained and live messages of `topic` ("qvotk/#"), `count` of them
  // or what came within `seconds`: topic and payload.
  std::vector<std::pair<std::string, std::string>> Messages(const std::string& topic, int count,
                                                            int seconds) const {
    std::string output;
    RunCommand("mosquitto_sub -p " + std::to_string(brokerPort) + clientOptions + " -v -t '" + topic +
                   "' -C " + std::to_string(count) + " -W " + std::to_string(seconds),
               &output);
    std::vector<std::pair<std::string, std::string>> messages;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      const size_t space = line.find(' ');
      if (space != std::string::npos) messages.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return messages;
  }
  // The retained payload of `topic`, "" when none.
  std::string Retained(const std::string& topic) const {
    const auto messages = Messages(topic, 1, 1);
    return messages.empty() ? "" : messages[0].second;
  }

  std::string Log() const {
    std::ifstream file(workingDirectory.path() + "/gateway.log");
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  size_t Logged(const std::string& text) const {
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; ++at) ++count;
    return count;
  }

  TemporaryWorkingDirectory workingDirectory;
  int brokerPort = 0, modbusPort = 0;
  std::string clientOptions;      // of mosquitto_pub and _sub
  bool persistentBroker = false;  // keeps its sessions and retained messages across a restart
  std::unique_ptr<ChildProcess> broker, gateway;
  SimulatorProcess north, south;
};

// mbpoll reads what tovek-sim holds, writes a point and reads it back; the
// exceptions come where they should.
TEST_F(GatewayTest, ModbusReadsWritesAndAnswersExceptions) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  EXPECT_EQ(Logged("modbus: no allow list: any client that reaches 127.0.0.1:" + std::to_string(modbusPort) +
                   " may read and write"),
            1u);
  std::string output;
  ASSERT_EQ(Modbus("-a 1 -r 1", &output), 0) << output;
  EXPECT_NE(output.find("[1]: \t4"), std::string::npos) << output;
  ASSERT_EQ(Modbus("-a 2 -r 101 -c 3", &output), 0) << output;
  EXPECT_NE(output.find("[103]: \t3"), std::string::npos) << "the block's third value: " << output;
  ASSERT_EQ(Modbus("-a 1 -r 6", &output, "2"), 0) << output;
  EXPECT_TRUE(WaitFor([&] {
    return Modbus("-a 1 -r 6", &output) == 0 && output.find("[6]: \t2") != std::string::npos;
  })) << "read back: "
      << output;

  EXPECT_NE(Modbus("-a 1 -r 3", &output), 0);
  EXPECT_NE(output.find("Illegal data address"), std::string::npos) << "0x02: " << output;
  EXPECT_NE(Modbus("-a 1 -r 6", &output, "5"), 0);
  EXPECT_NE(output.find("Illegal data value"), std::string::npos) << "0x03: " << output;
  EXPECT_NE(Modbus("-a 1 -r 1", &output, "12"), 0);
  EXPECT_NE(output.find("Illegal data value"), std::string::npos) << "0x03, S takes 0-9: " << output;
  EXPECT_NE(Modbus("-a 4 -r 1", &output), 0);
  EXPECT_NE(output.find("Target device failed to respond"), std::string::npos) << "0x0B: " << output;
}

// Every point on MQTT, the statuses retained, writes through ".../set", and
// the last will when the gateway is killed.
TEST_F(GatewayTest, MqttCarriesPointsStatusesWritesAndTheLastWill) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  ASSERT_TRUE(WaitFor([&] { return Retained("qvotk/south/8/status") == "offline"; }));
  EXPECT_EQ(Json::parse(Retained("qvotk/north/12/S"))["value"], 4);
  EXPECT_EQ(Json::parse(Retained("qvotk/north/12/005"))["value"], 1);
  EXPECT_EQ(Json::parse(Retained("qvotk/north/13/block"))["values"].size(), 16u);
  EXPECT_EQ(Json::parse(Retained("qvotk/south/7/S"))["attempts"], 1) << "attempts from the driver's capture";
  EXPECT_EQ(Retained("qvotk/gateway/status"), "online");
  EXPECT_TRUE(
      WaitFor([&] { return Retained("qvotk/gateway/stats").find("\"north/12\"") != std::string::npos; }));

  Subscriber results;
  ASSERT_TRUE(results.Start(brokerPort, "qvotk/north/12/005/result"));
  Publish("-t qvotk/north/12/005/set -m 2");
  EXPECT_EQ(results.NextResult(), "written");

  const int killed = gateway->pid();
  kill(killed, SIGKILL);
  gateway->Wait(2000);
  EXPECT_TRUE(WaitFor([&] { return Retained("qvotk/gateway/status") == "offline"; })) << "the last will";
  // What the killed gateway left behind, the next one removes. Each test's
  // gateways keep their temporary files in its own folder, so that no
  // gateway of another test clears them first.
  const std::string leftover = workingDirectory.path() + "/qvotk-gateway-" + std::to_string(killed);
  EXPECT_TRUE(std::filesystem::exists(leftover));
  ASSERT_TRUE(StartGateway(Config(north.port)));
  EXPECT_FALSE(std::filesystem::exists(leftover));
}

// The broker restarts: the gateway connects again by itself, says it is
// online, and what it polls after flows again.
TEST_F(GatewayTest, ABrokerRestartIsSurvived) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  ASSERT_FALSE(Messages("qvotk/south/7/S", 1, 3).empty());
  broker->Stop(SIGTERM);
  ASSERT_TRUE(WaitFor([&] { return Logged("mqtt: connection to 127.0.0.1 lost") > 0; }));
  ASSERT_TRUE(StartBroker());
  const auto fresh = Messages("qvotk/gateway/status", 1, 10);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0].second, "online");
  // The drifting S point of station 7 changes every 300 ms: new values come.
  std::set<std::string> values;
  for (const auto& [topic, payload] : Messages("qvotk/south/7/S", 4, 5)) {
    values.insert(Json::parse(payload)["time"].get<std::string>());
  }
  EXPECT_GE(values.size(), 3u) << "polled and published after the reconnect";
}

// A silent station goes offline and costs its line only a retry now and
// then: station 7 keeps close to its interval between two retries. An
// adapter that vanishes takes its stations offline: their registers answer
// 0x0B at once, a write is refused at once, their values are published
// again as failed; back, they are online again, with no restart.
TEST_F(GatewayTest, StationsGoOfflineAndComeBackWithoutStarvingTheLine) {
  UnpluggableLine line(workingDirectory.path(), {"--station", "12", "--station", "13"});
  ASSERT_TRUE(line.PlugIn());
  ASSERT_TRUE(StartGateway(Config(line.name)));
  // Station 7's reads between two requests to station 8, at most, from the trace.
  auto mostReadsBetweenRetries = [&] {
    std::ifstream trace(south.traceFile);
    int most = 0, reads = -1;  // -1: before station 8's first request
    for (std::string traced; std::getline(trace, traced);) {
      if (traced.find("station 8: ") != std::string::npos) {
        most = std::max(most, reads);
        reads = 0;
      } else if (reads >= 0 && traced.find("station 7: read") != std::string::npos) {
        ++reads;
      }
    }
    return most;
  };
  EXPECT_TRUE(WaitFor([&] { return mostReadsBetweenRetries() >= 15; }))
      << "about 30 at its 100 ms interval between retries 3 s apart: " << mostReadsBetweenRetries();
  EXPECT_EQ(Logged("station 8 offline"), 1u);
  kill(gateway->pid(), SIGUSR1);
  EXPECT_TRUE(WaitFor([&] { return Logged(" stats {") == 1; })) << "the counters, on SIGUSR1";

  line.Pull();
  ASSERT_TRUE(WaitFor([&] { return Retained("qvotk/north/12/status") == "offline"; }));
  const Json value = Json::parse(Retained("qvotk/north/12/S"));
  EXPECT_EQ(value["status"], 2) << value;
  EXPECT_FALSE(value.contains("value")) << value;
  RawClient client(modbusPort);
  const auto asked = Clock::now();
  EXPECT_EQ(ExceptionOf(client.Ask(ReadRegister(1, 0))), 0x0B) << "its value is 10 s young, yet not served";
  EXPECT_EQ(ExceptionOf(client.Ask(WriteRegister(1, 5, 2))), 0x0B);
  EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(500)) << "both at once";

  ASSERT_TRUE(line.PlugIn());
  EXPECT_TRUE(WaitFor([&] { return Retained("qvotk/north/12/status") == "online"; }))
      << "back without a restart";
}

// Sixteen mbpoll clients at once, beside one client that sends garbage and
// one that stalls mid-frame: all sixteen are served.
TEST_F(GatewayTest, SixteenClientsAndOneRudeOneAtOnce) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  RawClient stalled(modbusPort), rude(modbusPort);
  stalled.Send({0x00, 0x01, 0x00});  // a frame's first bytes, and no more
  rude.Send(Bytes(300, 0xA5));
  std::vector<std::thread> clients;
  std::vector<int> statuses(16, -1);
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back([&, i] {
      std::string output;
      statuses[static_cast<size_t>(i)] = Modbus("-a 2 -r 101 -c 16", &output);
    });
  }
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < 16; ++i) EXPECT_EQ(statuses[static_cast<size_t>(i)], 0) << "client " << i;
}

// Two hundred clients connected at once are all served, on no more
// threads than one client is.
TEST_F(GatewayTest, ManyClientsAreServedOnAFewThreads) {
  ASSERT_TRUE(StartGateway(Replaced(Config(north.port), "[modbus]\n", "[modbus]\nmax_clients = 300\n")));
  auto threads = [&] {
    const auto tasks =
        std::filesystem::directory_iterator("/proc/" + std::to_string(gateway->pid()) + "/task");
    return std::distance(begin(tasks), end(tasks));
  };
  RawClient first(modbusPort);
  ASSERT_EQ(ExceptionOf(first.Ask(ReadRegister(1, 0))), 0);
  const auto withOne = threads();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(std::make_unique<RawClient>(modbusPort));
    clients.back()->Send(ReadRegister(1, 0));
  }
  int served = 0;
  for (const auto& client : clients) served += ExceptionOf(client->Reply()) == 0 ? 1 : 0;
  EXPECT_EQ(served, 200);
  EXPECT_EQ(threads(), withOne);
}

// A client that sends request after request and reads no reply is closed
// once its socket takes no more, for a reply cannot be sent in part; the
// others are served all along.
TEST_F(GatewayTest, AClientThatStopsReadingItsRepliesIsClosed) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  std::thread others([&] {
    std::string output;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Modbus("-a 1 -r 1", &output), 0) << output;
  });
  RawClient deaf(modbusPort, "127.0.0.1", 4096);
  EXPECT_TRUE(deaf.SendUnread(Request(2, {0x03, 0, 100, 0, 16}), 30));
  others.join();
  EXPECT_EQ(Logged("modbus: 127.0.0.1 does not read its replies: its connection is closed"), 1u) << Log();
  std::string output;
  EXPECT_EQ(Modbus("-a 2 -r 101 -c 16", &output), 0) << output;
}

// A reload that replaces both lines, south's while a write to its silent
// station is in flight, and one that changes nothing: point 005 and S are
// polled as themselves, and Modbus and MQTT serve what the controller holds
// (S 4, 005 1); a line replaced is opened as soon as the old worker lets
// its port go, with no outage; a line kept is not opened again.
TEST_F(GatewayTest, AReloadKeepsEveryPointsAddressAndEveryLineUp) {
  const std::string config = ConfigWithASilentStationOnline();
  ASSERT_TRUE(StartGateway(config));
  auto expectTheControllersValues = [&](const std::string& when) {
    const int polled = north.Traced("station 12: read point 005");
    ASSERT_TRUE(WaitFor([&] { return north.Traced("station 12: read point 005") >= polled + 2; })) << when;
    std::string output;
    EXPECT_EQ(Modbus("-a 1 -r 1", &output), 0) << when;
    EXPECT_NE(output.find("[1]: \t4"), std::string::npos) << when << ": " << output;
    EXPECT_EQ(Modbus("-a 1 -r 6", &output), 0) << when;
    EXPECT_NE(output.find("[6]: \t1"), std::string::npos) << when << ": " << output;
    EXPECT_EQ(Json::parse(Retained("qvotk/north/12/S"))["value"], 4) << when;
    EXPECT_EQ(Json::parse(Retained("qvotk/north/12/005"))["value"], 1) << when;
  };
  expectTheControllersValues("at the start");
  RawClient silent(modbusPort);
  ASSERT_TRUE(HoldTheSouthLine(&silent));
  const std::string replaced =
      Replaced(Replaced(config, "timeout_ms = 50", "timeout_ms = 60"), "timeout_ms = 100", "timeout_ms = 90");
  workingDirectory.WriteFile("gateway.toml", replaced);
  kill(gateway->pid(), SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return Logged("configuration reloaded") == 1; }));
  expectTheControllersValues("after a reload that replaced the lines");
  EXPECT_EQ(ExceptionOf(silent.Reply()), 0x0B) << "the old worker's write ends: no answer from station 8";
  const int polled = south.Traced("station 7: read S");
  EXPECT_TRUE(WaitFor([&] { return south.Traced("station 7: read S") > polled + 2; }));
  EXPECT_EQ(Logged("cannot open"), 0u) << Log();

  const size_t opened = Logged(" open at ");
  kill(gateway->pid(), SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return Logged("configuration reloaded") == 2; }));
  expectTheControllersValues("after a reload that changed nothing");
  EXPECT_EQ(Logged(" open at "), opened) << "no line opened again";
}

// SIGTERM stops the gateway within a second, even while a request waits on
// a station that never answers; every station's status and its own are
// left "offline", retained.
TEST_F(GatewayTest, AStopLeavesEveryStatusOfflineWithinASecond) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  ASSERT_TRUE(WaitFor([&] { return Retained("qvotk/north/12/status") == "online"; }));
  const auto asked = Clock::now();
  kill(gateway->pid(), SIGTERM);
  EXPECT_EQ(gateway->Wait(3000), 0);
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));
  for (const char* station : {"gateway", "north/12", "north/13", "south/7", "south/8"}) {
    EXPECT_EQ(Retained(std::string("qvotk/") + station + "/status"), "offline") << station;
  }
}

// The service manager hears the truth: ready once the listener is up,
// reloading then ready around a SIGHUP, stopping; and alive only while
// every line worker comes back to its loop, so a request holding a worker
// longer than the watchdog allows (north's controllers stopped: 13 time-outs
// of 300 ms) silences it.
TEST_F(GatewayTest, TheServiceManagerHearsReadinessReloadsStopsAndLiveness) {
  NotifySocket manager(workingDirectory.path() + "/notify");
  const std::string config = Replaced(Config(north.port), "timeout_ms = 50", "timeout_ms = 300");
  ASSERT_TRUE(StartGateway(config, true, "NOTIFY_SOCKET=" + manager.path() + " WATCHDOG_USEC=2000000"));
  EXPECT_TRUE(manager.Awaits("READY=1", 2000));
  EXPECT_TRUE(manager.Awaits("WATCHDOG=1", 2000));

  kill(gateway->pid(), SIGHUP);
  EXPECT_TRUE(manager.Awaits("RELOADING=1"));
  EXPECT_TRUE(manager.Awaits("READY=1"));

  kill(north.process.pid(), SIGSTOP);
  auto last = Clock::now();
  auto longestSilence = Clock::duration::zero();
  for (const auto until = last + std::chrono::seconds(6); Clock::now() < until;) {
    if (manager.Next(500) != "WATCHDOG=1") continue;
    longestSilence = std::max(longestSilence, Clock::now() - last);
    last = Clock::now();
  }
  kill(north.process.pid(), SIGCONT);
  EXPECT_GE(longestSilence, std::chrono::seconds(2)) << "no notice while north's worker was held";
  EXPECT_TRUE(manager.Awaits("WATCHDOG=1", 6000)) << "notices again once it came back";

  kill(gateway->pid(), SIGTERM);
  EXPECT_TRUE(manager.Awaits("STOPPING=1"));
  EXPECT_EQ(gateway->Wait(3000), 0);
}

// Writes queued behind a long one (a silent station's ten attempts, 1.3 s)
// are not started by their deadline of 300 ms: answered 0x0B and
// "expired", and never carried out, even once the line is free.
TEST_F(GatewayTest, AWriteNotStartedByItsDeadlineIsNeverCarriedOut) {
  ASSERT_TRUE(StartGateway(
      Replaced(ConfigWithASilentStationOnline(), "[modbus]\n", "[modbus]\nwrite_timeout_ms = 300\n") +
      "write_timeout_ms = 300\n"));
  Subscriber results;
  ASSERT_TRUE(results.Start(brokerPort, "qvotk/south/7/S/result"));
  RawClient silent(modbusPort), live(modbusPort);
  ASSERT_TRUE(HoldTheSouthLine(&silent));
  live.Send(WriteRegister(3, 0, 6));
  Publish("-t qvotk/south/7/S/set -m 5");
  EXPECT_EQ(ExceptionOf(live.Reply()), 0x0B);
  EXPECT_EQ(results.NextResult(), "expired");
  EXPECT_EQ(ExceptionOf(silent.Reply()), 0x0B) << "no answer from station 8";
  // The line is free: a write now is carried out, and only it.
  Publish("-t qvotk/south/7/S/set -m 2");
  EXPECT_EQ(results.NextResult(), "written");
  EXPECT_EQ(south.Traced("station 7: write S point = 2"), 1);
  EXPECT_EQ(south.Traced("station 7: write S point = 6"), 0) << "the expired Modbus write";
  EXPECT_EQ(south.Traced("station 7: write S point = 5"), 0) << "the expired MQTT write";
}

// A client that hangs up while its write waits in the line's queue
// withdraws it: never carried out, though its deadline is far; the write
// queued beside it is.
TEST_F(GatewayTest, AWriteWhoseClientHungUpIsNeverCarriedOut) {
  ASSERT_TRUE(StartGateway(
      Replaced(ConfigWithASilentStationOnline(), "[modbus]\n", "[modbus]\nwrite_timeout_ms = 10000\n")));
  RawClient silent(modbusPort), live(modbusPort);
  ASSERT_TRUE(HoldTheSouthLine(&silent));
  {
    RawClient gone(modbusPort);
    gone.Send(WriteRegister(3, 0, 7));
  }
  live.Send(WriteRegister(3, 0, 6));
  EXPECT_EQ(ExceptionOf(live.Reply()), 0);
  // Writes queued go one between two polls: by the third poll after, any
  // left would have gone.
  const int polled = south.Traced("station 7: read S");
  EXPECT_TRUE(WaitFor([&] { return south.Traced("station 7: read S") >= polled + 3; }));
  EXPECT_EQ(south.Traced("station 7: write S point = 6"), 1);
  EXPECT_EQ(south.Traced("station 7: write S point = 7"), 0);
}

// Twenty writes at once, while the line is held: four queued, the others
// answered "busy" at once; and the line polls between any two writes.
TEST_F(GatewayTest, AFullQueueAnswersBusyAndPollingGoesOnBetweenWrites) {
  ASSERT_TRUE(
      StartGateway(ConfigWithASilentStationOnline("max_queued_writes = 4") + "write_timeout_ms = 10000\n"));
  Subscriber results;
  ASSERT_TRUE(results.Start(brokerPort, "qvotk/south/7/S/result"));
  RawClient silent(modbusPort);
  ASSERT_TRUE(HoldTheSouthLine(&silent));
  std::string values;
  for (int i = 0; i < 20; ++i) values += std::to_string(i % 10) + "\n";
  workingDirectory.WriteFile("values", values);
  Publish("-t qvotk/south/7/S/set -l <values");
  std::map<std::string, int> answers;
  for (int i = 0; i < 20; ++i) ++answers[results.NextResult()];
  EXPECT_EQ(answers["busy"], 16);
  EXPECT_EQ(answers["written"], 4);
  // Station 7's requests on the line, in order: no two writes in a row.
  std::string order;
  std::ifstream trace(south.traceFile);
  for (std::string line; std::getline(trace, line);) {
    if (line.find("station 7: write") != std::string::npos) order += 'w';
    if (line.find("station 7: read") != std::string::npos) order += 'r';
  }
  EXPECT_EQ(order.find("ww"), std::string::npos) << order;
}

// A retained ".../set" is what someone asked for once, not now: it is
// answered "retained", logged once with its topic, never carried out, and
// left on the broker.
TEST_F(GatewayTest, ARetainedSetIsNeverCarriedOut) {
  Publish("-r -t qvotk/north/12/005/set -m 2");
  Subscriber results;
  ASSERT_TRUE(results.Start(brokerPort, "qvotk/north/12/005/result"));
  ASSERT_TRUE(StartGateway(Config(north.port)));
  EXPECT_EQ(results.NextResult(), "retained");
  EXPECT_EQ(Logged("a retained write on 'qvotk/north/12/005/set'"), 1u) << Log();
  EXPECT_EQ(north.Traced("station 12: write point 005"), 0);
  EXPECT_EQ(Retained("qvotk/north/12/005/set"), "2");
}

// What ".../set" takes (a decimal number with white space around it, or
// {"value": N}) and what it refuses, saying why in at most 64 bytes of the
// payload; a payload that is no UTF-8, or 200 KB, stops nothing.
TEST_F(GatewayTest, ASetTakesANumberAndRefusesAnythingElseSafely) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  Subscriber results;
  ASSERT_TRUE(results.Start(brokerPort, "qvotk/north/12/+/result"));
  auto answer = [&](const std::string& point, const std::string& payload) {
    workingDirectory.WriteFile("payload", payload);
    Publish("-t qvotk/north/12/" + point + "/set -f payload");
    return Json::parse(results.Next().second);
  };
  for (const std::string& taken : std::vector<std::string>{" 2\n", "2.0", "{\"value\": 1}"}) {
    EXPECT_EQ(answer("005", taken)["result"], "written") << taken;
  }
  EXPECT_EQ(answer("S", "-0")["result"], "written");
  for (const std::string& refused :
       std::vector<std::string>{"2.5", "1e0", "+2", "0x2", "", "{\"value\": 2, \"x\": 1}", "\xff\xfe\x32",
                                std::string(200000, '7')}) {
    const Json result = answer("005", refused);
    EXPECT_EQ(result["result"], "invalid") << result;
    EXPECT_LT(result["error"].get<std::string>().size(), 200u) << result;
  }
  std::string output;
  EXPECT_EQ(Modbus("-a 1 -r 1", &output), 0) << "still serving";
}

// At max_clients, a new client closes the one silent longest, once it has
// been silent evict_idle_s; while none has, the new one is refused.
TEST_F(GatewayTest, AtMaxClientsTheLongestIdleIsClosedForANewOne) {
  ASSERT_TRUE(StartGateway(
      Replaced(Config(north.port), "[modbus]\n", "[modbus]\nmax_clients = 3\nevict_idle_s = 1\n")));
  // Each served once: the start's mbpoll probes may hold a place a moment longer.
  std::vector<std::unique_ptr<RawClient>> clients;
  while (clients.size() < 3) {
    ASSERT_TRUE(WaitFor([&] {
      clients.push_back(std::make_unique<RawClient>(modbusPort));
      if (ExceptionOf(clients.back()->Ask(ReadRegister(1, 0))) == 0) return true;
      clients.pop_back();
      return false;
    }));
  }
  RawClient &idle = *clients[0], &busy = *clients[1], &busier = *clients[2];
  RawClient refused(modbusPort);
  EXPECT_TRUE(refused.ClosedSilently()) << "nobody silent for a second yet";
  EXPECT_TRUE(WaitFor([&] {
    EXPECT_EQ(ExceptionOf(busy.Ask(ReadRegister(1, 0))), 0);
    EXPECT_EQ(ExceptionOf(busier.Ask(ReadRegister(1, 0))), 0);
    RawClient fresh(modbusPort);
    return ExceptionOf(fresh.Ask(ReadRegister(1, 0))) == 0;
  }));
  EXPECT_TRUE(idle.ClosedSilently());
  EXPECT_EQ(ExceptionOf(busy.Ask(ReadRegister(1, 0))), 0);
}

// A header with a protocol id other than 0, or a length out of 2-254,
// closes its connection unanswered; the next client is served. An FC16
// whose byte count is not twice its register count writes nothing, though
// a good one came before it: answered 0x03.
TEST_F(GatewayTest, AMalformedRequestIsRefusedAndWritesNothing) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  const Bytes read = {0x03, 0, 0, 0, 1};
  for (const Bytes& bad : {Request(1, read, 1), Request(1, read, 0, 0), Request(1, read, 0, 1),
                           Request(1, read, 0, 255), Request(1, read, 0, 65535)}) {
    RawClient client(modbusPort);
    client.Send(bad);
    EXPECT_TRUE(client.ClosedSilently())
        << "protocol " << (bad[2] << 8 | bad[3]) << ", length " << (bad[4] << 8 | bad[5]);
  }
  RawClient client(modbusPort);
  EXPECT_EQ(ExceptionOf(client.Ask(Request(1, read))), 0);
  EXPECT_EQ(ExceptionOf(client.Ask(Request(1, {0x10, 0, 5, 0, 1, 2, 0, 2}))), 0) << "005 := 2";
  EXPECT_EQ(ExceptionOf(client.Ask(Request(1, {0x10, 0, 5, 0, 1, 0}))), 0x03);
  EXPECT_EQ(ExceptionOf(client.Ask(Request(1, {0x10, 0, 5, 0, 2, 2, 0, 1}))), 0x03);
  EXPECT_EQ(north.Traced("station 12: write point 005"), 1);
}

// A configuration that is wrong is refused with 64, naming file, line and
// key; topic levels that MQTT would misread are wrong.
TEST_F(GatewayTest, ABadConfigurationNamesFileLineAndKey) {
  std::string output;
  workingDirectory.WriteFile("bad.toml", "[[line]]\nname = \"a\"\nport = \"pts/1\"\nspeed = 9600\n");
  EXPECT_EQ(
      RunCommand(kBin + "/qvotk-gateway --check-config " + workingDirectory.path() + "/bad.toml", &output),
      64);
  EXPECT_NE(output.find("bad.toml:4: line.speed: unknown key"), std::string::npos) << output;
  std::string config = Config(north.port);
  workingDirectory.WriteFile("gateway.toml", Replaced(config, "address = 13", "address = 99999"));
  EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --config gateway.toml", &output), 64);
  EXPECT_NE(output.find("gateway.toml:16: line.station.address: must be 0-9999"), std::string::npos)
      << output;
  for (const std::string& prefix :
       std::vector<std::string>{"a//b", "/a", "a/", "$SYS/a", "a b", "a\\u0000b", "a+"}) {
    workingDirectory.WriteFile("gateway.toml", config + "topic_prefix = \"" + prefix + "\"\n");
    EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --check-config gateway.toml", &output), 64) << prefix;
    EXPECT_NE(output.find("gateway.toml:40: mqtt.topic_prefix: must be a topic"), std::string::npos)
        << output;
  }
  for (const std::string bad : {"10.0.0.1/8", "10.0.0.0/33", "10.0.0.0/08", "300.1.1.1", "010.0.0.1", "::1",
                                " 10.0.0.1", "10.0.0.0/", "any"}) {
    workingDirectory.WriteFile("gateway.toml",
                               Replaced(config, "[modbus]\n", "[modbus]\nallow = [\"" + bad + "\"]\n"));
    EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --check-config gateway.toml", &output), 64) << bad;
    EXPECT_NE(output.find("gateway.toml:34: modbus.allow: '" + bad + "'"), std::string::npos) << output;
  }
  workingDirectory.WriteFile("gateway.toml", Replaced(config, "name = \"south\"", "name = \"$south\""));
  EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --check-config gateway.toml", &output), 64);
  EXPECT_NE(output.find("gateway.toml:21: line.name: must be one topic level"), std::string::npos) << output;
  EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --check-config " + kGatewayExample, &output), 0) << output;
}

// Who may connect and who may write, by address: mbpoll from 127.0.0.1
// writes; a client from 127.0.0.2 reads, and its writes are refused (0x01,
// logged once); one from 127.0.0.3 is let go unanswered.
TEST_F(GatewayTest, ModbusAllowsAndDeniesByAddress) {
  ASSERT_TRUE(StartGateway(Replaced(Config(north.port), "[modbus]\n",
                                    "[modbus]\nallow = [\"127.0.0.1\", \"127.0.0.2/32\"]\n"
                                    "write_allow = [\"127.0.0.0/32\", \"127.0.0.1\"]\n")));
  std::string output;
  EXPECT_EQ(Modbus("-a 1 -r 6", &output, "2"), 0) << output;
  RawClient reader(modbusPort, "127.0.0.2");
  EXPECT_EQ(ExceptionOf(reader.Ask(ReadRegister(1, 0))), 0);
  EXPECT_EQ(ExceptionOf(reader.Ask(WriteRegister(1, 5, 1))), 0x01);
  EXPECT_EQ(ExceptionOf(reader.Ask(WriteRegister(1, 0, 1))), 0x01);
  EXPECT_EQ(Logged("writes from 127.0.0.2 are refused"), 1u);
  RawClient stranger(modbusPort, "127.0.0.3");
  stranger.Send(ReadRegister(1, 0));
  EXPECT_TRUE(stranger.ClosedSilently());
  EXPECT_EQ(Logged("127.0.0.3 is not in allow"), 1u);
  EXPECT_EQ(north.Traced("station 12: write"), 1) << "005 := 2, and nothing else";
  EXPECT_EQ(Logged("no allow list"), 0u);
}

// A read-only point or station refuses writes from Modbus (0x01) and MQTT
// ("read-only"), and [modbus] read_only, taken by a reload, every write on
// Modbus; nothing refused reaches the line.
TEST_F(GatewayTest, ReadOnlyPointsStationsAndServer) {
  std::string config = Replaced(Config(north.port), "name = \"005\", register = 5,",
                                "name = \"005\", read_only = true, register = 5,");
  config = Replaced(config, "unit_id = 3\n", "unit_id = 3\n  read_only = true\n");
  ASSERT_TRUE(StartGateway(config));
  Subscriber results;
  ASSERT_TRUE(results.Start(brokerPort, "qvotk/+/+/+/result"));
  std::string output;
  EXPECT_NE(Modbus("-a 1 -r 6", &output, "2"), 0);
  EXPECT_NE(output.find("Illegal function"), std::string::npos) << output;
  EXPECT_NE(Modbus("-a 3 -r 1", &output, "2"), 0);
  Publish("-t qvotk/north/12/005/set -m 2");
  EXPECT_EQ(results.NextResult(), "read-only");
  EXPECT_EQ(Modbus("-a 1 -r 1", &output, "3"), 0) << "S of station 12 is not read-only: " << output;

  workingDirectory.WriteFile("gateway.toml", Replaced(config, "[modbus]\n", "[modbus]\nread_only = true\n"));
  kill(gateway->pid(), SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return Logged("configuration reloaded") == 1; }));
  EXPECT_NE(Modbus("-a 1 -r 1", &output, "5"), 0);
  EXPECT_NE(output.find("Illegal function"), std::string::npos) << output;
  EXPECT_EQ(north.Traced("write point 005"), 0);
  EXPECT_EQ(south.Traced("station 7: write"), 0);
  EXPECT_EQ(north.Traced("station 12: write S"), 1);
}

// A broker that asks each client for a certificate: the gateway connects
// with the one made here for it, over the TLS version named, and publishes.
TEST_F(GatewayTest, MutualTlsWithTheGatewaysOwnCertificate) {
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 ";
  std::string output;
  ASSERT_EQ(RunCommand(
                make + "-keyout ca.key -out ca.crt -subj /CN=ca && " + make +
                    "-keyout broker.key -out broker.crt -subj /CN=broker -addext subjectAltName=IP:127.0.0.1 "
                    "-CA ca.crt -CAkey ca.key && " +
                    make + "-keyout gateway.key -out gateway.crt -subj /CN=gateway -CA ca.crt -CAkey ca.key",
                &output),
            0)
      << output;
  ASSERT_TRUE(
      StartBroker("cafile ca.crt\ncertfile broker.crt\nkeyfile broker.key\nrequire_certificate true\n"
                  "tls_version tlsv1.3\nallow_anonymous true\n",
                  " -h 127.0.0.1 --cafile ca.crt --cert gateway.crt --key gateway.key"));
  ASSERT_TRUE(StartGateway(Config(north.port) +
                           "ca_file = \"ca.crt\"\ncert_file = \"gateway.crt\"\nkey_file = \"gateway.key\"\n"
                           "tls_version = \"tlsv1.3\"\n"));
  EXPECT_TRUE(WaitFor([&] { return Retained("qvotk/north/12/status") == "online"; })) << Log();
  EXPECT_EQ(Logged("mqtt: connected to 127.0.0.1"), 1u);
}

// A broker that takes only a user with its password: the gateway reads the
// password from its file. A password in a configuration any user may read
// is warned of.
TEST_F(GatewayTest, APasswordFromItsFileAndAWarningForOneOthersMayRead) {
  std::string output;
  ASSERT_EQ(RunCommand("mosquitto_passwd -b -c passwords gateway 's3cret word'", &output), 0) << output;
  ASSERT_TRUE(
      StartBroker("allow_anonymous false\npassword_file passwords\n", " -u gateway -P 's3cret word'"));
  workingDirectory.WriteFile("password", "s3cret word\n");
  chmod("password", 0600);
  const std::string config = Config(north.port) + "username = \"gateway\"\npassword_file = \"password\"\n";
  ASSERT_TRUE(StartGateway(config));
  EXPECT_TRUE(WaitFor([&] { return Retained("qvotk/north/12/status") == "online"; })) << Log();
  EXPECT_EQ(Logged("any user may read"), 0u);

  workingDirectory.WriteFile("inline.toml",
                             Config(north.port) + "username = \"gateway\"\npassword = \"s3cret word\"\n");
  chmod("inline.toml", 0644);
  RunCommand(kBin + "/qvotk-gateway --check-config inline.toml", &output);
  EXPECT_NE(output.find("warning: inline.toml holds the MQTT password, and any user may read it"),
            std::string::npos)
      << output;
}

// /metrics: every name the gateway measures, in a scrape promtool finds
// good, counting what happened (reads of each point, a write through
// Modbus, a station offline).
TEST_F(GatewayTest, MetricsNamedAsPrometheusWants) {
  const int metricsPort = FreeTcpPort();
  ASSERT_TRUE(StartGateway(Config(north.port) +
                           "\n[metrics]\nlisten = \"127.0.0.1:" + std::to_string(metricsPort) + "\"\n"));
  std::string output;
  ASSERT_EQ(Modbus("-a 1 -r 6", &output, "2"), 0) << output;
  ASSERT_TRUE(WaitFor([&] { return Retained("qvotk/south/8/status") == "offline"; }));
  const std::string scrape =
      "curl -sf http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics -o scrape.txt";
  ASSERT_EQ(RunCommand(scrape + " && promtool check metrics <scrape.txt", &output), 0) << output;
  std::ifstream file(workingDirectory.path() + "/scrape.txt");
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  for (const std::string sample :
       {"qvotk_requests_total{line=\"north\",point=\"005\",station=\"12\",status=\"ok\"} ",
        "qvotk_requests_total{line=\"south\",point=\"S\",station=\"8\",status=\"no_answer\"} ",
        "qvotk_request_attempts_total{line=\"south\",station=\"8\"} ",
        "qvotk_request_duration_seconds_bucket{line=\"north\",le=\"0.1\"} ",
        "qvotk_line_busy_ratio{line=\"north\"} ",
        "qvotk_polls_late_total{line=\"north\",point=\"S\",station=\"12\"} ",
        "qvotk_station_online{line=\"south\",station=\"8\"} 0",
        "qvotk_station_online{line=\"south\",station=\"7\"} 1",
        "qvotk_writes_total{line=\"north\",result=\"written\",source=\"modbus\",station=\"12\"} 1",
        "qvotk_modbus_clients ", "qvotk_mqtt_connected 1", "qvotk_mqtt_buffered_values "}) {
    EXPECT_NE(text.find("\n" + sample), std::string::npos) << sample;
  }
}

// A line whose points ask more than its wire carries: --check-config says
// so, and the gateway warns once it has read them too slowly for a whole
// health window, naming the rates, and again once a reload lets it keep
// up. Under systemd each line carries its level as the journal reads it;
// the driver's own reports too.
TEST_F(GatewayTest, ALineTooSlowForItsPointsIsLoggedAndSoIsItsRecovery) {
  SimulatorProcess paced;
  ASSERT_TRUE(paced.Start({"--station", "1", "--baud", "9600"}));
  const std::string config =
      "[gateway]\nhealth_window_s = 1\n[[line]]\nname = \"paced\"\nport = \"" + paced.port +
      "\"\n  [[line.station]]\n  address = 1\n  point = [{name = \"S\", interval_ms = 10}, "
      "{name = \"001\", interval_ms = 10}]\n"
      "[[line]]\nname = \"gone\"\nport = \"nosuch9\"\n  [[line.station]]\n  address = 1\n"
      "  point = [{name = \"S\"}]\n";
  workingDirectory.WriteFile("gateway.toml", config);
  std::string output;
  EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --check-config gateway.toml", &output), 0);
  EXPECT_NE(output.find("warning: line paced: its points ask for 833% of the wire"), std::string::npos)
      << output;
  workingDirectory.WriteFile("gateway.log", "");
  struct stat log {};
  stat("gateway.log", &log);
  ASSERT_TRUE(StartGateway(
      config, false, "JOURNAL_STREAM=" + std::to_string(log.st_dev) + ":" + std::to_string(log.st_ino)));
  EXPECT_TRUE(WaitFor([&] { return Logged("<4>warning line paced: read at ") == 1; })) << Log();
  EXPECT_NE(Log().find(" of its configured rate for 1 s: 200.0 reads/s wanted, "), std::string::npos)
      << Log();
  EXPECT_NE(Log().find(" achieved; a round of its 2 points keeps the line busy "), std::string::npos)
      << Log();
  workingDirectory.WriteFile("gateway.toml",
                             Replaced(config, "interval_ms = 10}, {name = \"001\", interval_ms = 10}",
                                      "interval_ms = 500}, {name = \"001\", interval_ms = 500}"));
  kill(gateway->pid(), SIGHUP);
  EXPECT_TRUE(WaitFor([&] { return Logged("<6>info line paced: read at ") == 1; })) << Log();
  EXPECT_EQ(Logged("<4>warning line paced: read at "), 1u) << "once";
  EXPECT_EQ(Logged("<3>error driver: QVOTOVEK  : Fail to open nosuch9\n"), 1u) << Log();
  EXPECT_EQ(Logged("<3>error driver: QVOTOVEK  : nosuch9: "), 1u) << Log();
}

// Station 7's S moves a step every 300 ms and is polled every 100 ms, on a
// line of its own: the gateway reads every step.
class GatewayOutageTest : public GatewayTest {
 protected:
  struct Received {
    std::string topic;
    Json message;
    Clock::time_point at;
  };

  // A generous time-out, so that a reply late on a busy machine is not
  // traced as read while the gateway retried it.
  std::string Station7Alone(const std::string& mqtt) const {
    return Replaced(Replaced(Config(north.port), "timeout_ms = 20", "timeout_ms = 200"),
                    "  [[line.station]]\n  address = 8\n  unit_id = 4\n"
                    "  point = [{name = \"S\", register = 0, interval_ms = 100}]\n",
                    "") +
           mqtt;
  }
  // Polls of station 7 seen on the line, from now on.
  void WaitForPolls(int count) {
    const int polled = south.Traced("station 7: read S");
    EXPECT_TRUE(WaitFor([&] { return south.Traced("station 7: read S") >= polled + count; }));
  }

  // The gateway on `config`, and a subscriber to `topic` with a session on
  // a persistent broker, which goes away while `during` runs and comes
  // back: what the subscriber got, until 2 s pass without a backlog message
  // once they began.
  std::vector<Received> ThroughAnOutage(const std::string& config, const std::string& topic,
                                        const std::function<void()>& during) {
    persistentBroker = true;
    EXPECT_TRUE(StartBroker());
    Subscriber subscriber;
    EXPECT_TRUE(subscriber.Start(brokerPort, topic, "outage"));
    EXPECT_TRUE(StartGateway(config));
    WaitForPolls(10);
    std::vector<Received> received;
    auto take = [&](int ms) {
      const auto [name, payload] = subscriber.Next(ms);
      if (name.empty()) return false;
      received.push_back({name, Json::parse(payload), Clock::now()});
      return true;
    };
    while (take(100)) continue;
    broker->Stop(SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return Logged("mqtt: connection to 127.0.0.1 lost") > 0; }));
    while (take(100)) continue;
    returnedAt = received.size();
    during();
    EXPECT_TRUE(StartBroker());
    // A busy machine may take a while to reconnect: the first kept one is
    // waited for longer than the gap that ends them.
    bool keptCame = false;
    auto lastKept = Clock::now();
    const auto giveUp = lastKept + std::chrono::seconds(15);
    while (Clock::now() < giveUp && (!keptCame || Clock::now() - lastKept < std::chrono::seconds(2))) {
      if (take(100) && received.back().topic.find("/backlog") != std::string::npos) {
        keptCame = true;
        lastKept = Clock::now();
      }
    }
    return received;
  }

  size_t returnedAt = 0;  // the first message received after the broker came back
};

// The broker away, and the gateway restarted in the middle of it: every
// value read, live before, kept during and live after the outage, is
// published once, and the values kept come in the order read.
TEST_F(GatewayOutageTest, AnOutageAcrossARestartLosesNothing) {
  // Exactly once: at QoS 1, a message the broker took just as it went is
  // sent again, and may come twice.
  const std::string config = Station7Alone("backlog_rate = 50\nqos = 2\n");
  const auto received = ThroughAnOutage(config, "qvotk/south/7/S/#", [&] {
    WaitForPolls(10);
    kill(gateway->pid(), SIGTERM);
    EXPECT_EQ(gateway->Wait(3000), 0);
    EXPECT_TRUE(StartGateway(config));
    WaitForPolls(10);
  });
  std::map<std::string, int> byTime;  // each reading once, by its time
  std::vector<std::string> keptTimes;
  std::set<std::pair<std::string, std::string>> seen;
  for (const Received& got : received) {
    const std::string time = got.message["time"];
    EXPECT_TRUE(seen.insert({got.topic, time}).second) << "published twice on " << got.topic << ": " << time;
    byTime[time] = got.message["value"];
    if (got.topic.find("/backlog") != std::string::npos) keptTimes.push_back(time);
  }
  EXPECT_GE(keptTimes.size(), 5u);
  EXPECT_TRUE(std::is_sorted(keptTimes.begin(), keptTimes.end())) << "kept ones in the order read";
  // The values station 7 answered, a value read again counted once, as
  // tovek-sim's trace has them; what came, in the order read, the same.
  auto once = [](std::vector<int>* values, int value) {
    if (values->empty() || values->back() != value) values->push_back(value);
  };
  std::vector<int> answered, published;
  std::ifstream trace(south.traceFile);
  bool asked = false;
  for (std::string line; std::getline(trace, line);) {
    const size_t value = line.find("status ok, value ");
    if (asked && value != std::string::npos) once(&answered, std::stoi(line.substr(value + 17)));
    asked = line.find("station 7: read S point") != std::string::npos;
  }
  for (const auto& [time, value] : byTime) once(&published, value);
  ASSERT_LE(published.size(), answered.size());
  EXPECT_GE(published.size() + 3, answered.size()) << "all but the last read";
  EXPECT_TRUE(std::equal(published.begin(), published.end(), answered.begin())) << "a value lost";
}

// Once the broker is back, the current value first, retained, then the
// kept ones on ".../backlog", not retained, at backlog_rate, with live
// values between them.
TEST_F(GatewayOutageTest, KeptValuesFollowTheCurrentOnesOnBacklogTopics) {
  const auto received =
      ThroughAnOutage(Station7Alone("backlog_rate = 4\n"), "qvotk/south/7/S/#", [&] { WaitForPolls(30); });
  ASSERT_LT(returnedAt, received.size());
  const Received& current = received[returnedAt];
  EXPECT_EQ(current.topic, "qvotk/south/7/S") << "the current value first";
  std::vector<const Received*> kept;
  bool liveBetween = false;
  for (size_t i = returnedAt + 1; i < received.size(); ++i) {
    if (received[i].topic == "qvotk/south/7/S/backlog") {
      kept.push_back(&received[i]);
      EXPECT_LE(received[i].message["time"], current.message["time"]);
    } else if (!kept.empty()) {
      liveBetween = true;
    }
  }
  ASSERT_GE(kept.size(), 8u);
  EXPECT_TRUE(liveBetween) << "live values are not held up behind the kept ones";
  EXPECT_GT(kept.back()->at - kept.front()->at, std::chrono::milliseconds(1000)) << "4 a second, not at once";
  for (const auto& [topic, payload] : Messages("qvotk/south/7/S/backlog", 1, 1)) {
    EXPECT_NE(topic, "qvotk/south/7/S/backlog") << "retained";
  }
}

// What is kept stays within buffer_max_mb, on disk too: the oldest go
// first, counted in a metric and logged once. Three thousand messages
// that an earlier run left, four times what 0.1 MB holds.
TEST_F(GatewayOutageTest, TheStoreStaysWithinItsBoundDroppingTheOldest) {
  persistentBroker = true;
  ASSERT_TRUE(StartBroker());
  Subscriber subscriber;
  ASSERT_TRUE(subscriber.Start(brokerPort, "earlier/backlog", "bound"));
  broker->Stop(SIGTERM);
  std::string output;
  ASSERT_EQ(
      RunCommand("mkdir -p state && sqlite3 state/backlog.db \"CREATE TABLE kept (id INTEGER PRIMARY KEY "
                 "AUTOINCREMENT, topic TEXT NOT NULL, payload BLOB NOT NULL); WITH RECURSIVE n(i) AS "
                 "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO kept (topic, payload) "
                 "SELECT 'earlier/backlog', printf('%d %0100d', i, 0) FROM n;\"",
                 &output),
      0)
      << output;
  const int metricsPort = FreeTcpPort();
  ASSERT_TRUE(StartGateway(Config(north.port) + "buffer_max_mb = 0.1\n[metrics]\nlisten = \"127.0.0.1:" +
                           std::to_string(metricsPort) + "\"\n"));
  WaitForPolls(20);
  EXPECT_EQ(Logged("reached buffer_max_mb (0.1 MB): "), 1u) << Log();
  uintmax_t bytes = 0;
  for (const char* file : {"state/backlog.db", "state/backlog.db-wal"}) {
    std::error_code missing;
    const uintmax_t size = std::filesystem::file_size(file, missing);
    bytes += missing ? 0 : size;
  }
  EXPECT_LE(bytes, 100u * 1024) << "the database and its journal";

  ASSERT_TRUE(StartBroker());
  std::vector<int> numbers;
  for (auto got = subscriber.Next(3000); !got.first.empty(); got = subscriber.Next(3000)) {
    numbers.push_back(std::stoi(got.second));
  }
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), 3000);
  EXPECT_EQ(numbers.back() - numbers.front() + 1, static_cast<int>(numbers.size()))
      << "none lost among those kept";
  ASSERT_EQ(RunCommand("curl -sf http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics", &output), 0);
  const size_t counted = output.find("\nqvotk_mqtt_dropped_values_total ");
  ASSERT_NE(counted, std::string::npos) << output;
  const int dropped = std::stoi(output.substr(counted + 33));
  EXPECT_GT(dropped, 0);
  EXPECT_LE(dropped, numbers.front() - 1) << "the oldest dropped";
}

}  // namespace
