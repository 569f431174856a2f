// qvotk-gateway end to end: tovek-sim on pseudo-terminals (two lines, three
// stations and a silent one), Debian's mosquitto as the broker, mbpoll and
// mosquitto_sub/_pub as the clients: real programs nobody here wrote.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    brokerPort = FreeTcpPort();
    modbusPort = FreeTcpPort();
    ASSERT_TRUE(StartBroker());
    ASSERT_TRUE(
        north.Start({"--station", "12", "--station", "13", "--s-point", "12:4", "--point", "12:5=1"}));
    ASSERT_TRUE(south.Start({"--station", "7", "--s-point", "7:3", "--drift-ms", "300"}));
  }

  bool StartBroker() {
    broker = std::make_unique<ChildProcess>();
    workingDirectory.WriteFile("mosquitto.conf",
                               "listener " + std::to_string(brokerPort) +
                                   " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n");
    std::string error;
    if (!broker->Start("/usr/sbin/mosquitto", {"-c", workingDirectory.path() + "/mosquitto.conf"}, &error)) {
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      std::string output;
      if (RunCommand("mosquitto_pub -p " + std::to_string(brokerPort) + " -t probe -m 1", &output) == 0)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // The configuration of the fixture's lines; south also has a station that
  // never answers.
  std::string Config(const std::string& northPort) const {
    return R"([gateway]
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
    [[line.station.point]]
    name = "S"
    register = 0
    interval_ms = 100
    [[line.station.point]]
    name = "005"
    register = 5
    interval_ms = 100
  [[line.station]]
  address = 13
  unit_id = 2
    [[line.station.point]]
    name = "block"
    count = 16
    register = 100
    interval_ms = 200

[[line]]
name = "south"
port = ")" +
           south.port + R"("
timeout_ms = 20
  [[line.station]]
  address = 7
  unit_id = 3
    [[line.station.point]]
    name = "S"
    register = 0
    interval_ms = 100
    publish_every_s = 1
  [[line.station]]
  address = 8
  unit_id = 4
    [[line.station.point]]
    name = "S"
    register = 0
    interval_ms = 100

[modbus]
listen = "127.0.0.1"
port = )" + std::to_string(modbusPort) +
           R"(

[mqtt]
host = "127.0.0.1"
port = )" + std::to_string(brokerPort) +
           "\n";
  }

  // Starts the gateway on `config`; its log goes to gateway.log.
  bool StartGateway(const std::string& config) {
    workingDirectory.WriteFile("gateway.toml", config);
    gateway = std::make_unique<ChildProcess>();
    std::string error;
    if (!gateway->Start("/bin/sh",
                        {"-c", "exec " + kBin + "/qvotk-gateway --config gateway.toml 2>gateway.log"},
                        &error)) {
      return false;
    }
    for (int i = 0; i < 150; ++i) {
      std::string output;
      if (Modbus("-a 1 -r 1", &output) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // mbpoll against the gateway; `values` are written.
  int Modbus(const std::string& arguments, std::string* output, const std::string& values = "") const {
    return RunCommand(
        "mbpoll -m tcp -p " + std::to_string(modbusPort) + " -1 -q " + arguments + " 127.0.0.1 " + values,
        output);
  }

  // The retained and live messages of `topic` ("qvotk/#"), `count` of them
  // or what came within `seconds`: topic and payload.
  std::vector<std::pair<std::string, std::string>> Messages(const std::string& topic, int count,
                                                            int seconds) const {
    std::string output;
    RunCommand("mosquitto_sub -p " + std::to_string(brokerPort) + " -v -t '" + topic + "' -C " +
                   std::to_string(count) + " -W " + std::to_string(seconds),
               &output);
    std::vector<std::pair<std::string, std::string>> messages;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      const size_t space = line.find(' ');
      if (space != std::string::npos) messages.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return messages;
  }

  std::string Log() const {
    std::ifstream file(workingDirectory.path() + "/gateway.log");
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  TemporaryWorkingDirectory workingDirectory;
  int brokerPort = 0, modbusPort = 0;
  std::unique_ptr<ChildProcess> broker, gateway;
  SimulatorProcess north, south;
};

// mbpoll reads what tovek-sim holds, writes a point and reads it back; the
// exceptions come where they should.
TEST_F(GatewayTest, ModbusReadsWritesAndAnswersExceptions) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  std::string output;
  ASSERT_EQ(Modbus("-a 1 -r 1", &output), 0) << output;
  EXPECT_NE(output.find("[1]: \t4"), std::string::npos) << output;
  ASSERT_EQ(Modbus("-a 2 -r 101 -c 3", &output), 0) << output;
  EXPECT_NE(output.find("[103]: \t3"), std::string::npos) << "the block's third value: " << output;
  ASSERT_EQ(Modbus("-a 1 -r 6", &output, "2"), 0) << output;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(Modbus("-a 1 -r 6", &output), 0) << output;
  EXPECT_NE(output.find("[6]: \t2"), std::string::npos) << "read back: " << output;

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
  std::this_thread::sleep_for(std::chrono::seconds(2));  // station 8 goes offline
  std::map<std::string, std::string> seen;
  for (const auto& [topic, payload] : Messages("qvotk/#", 200, 2)) seen[topic] = payload;
  EXPECT_EQ(Json::parse(seen["qvotk/north/12/S"])["value"], 4);
  EXPECT_EQ(Json::parse(seen["qvotk/north/12/005"])["value"], 1);
  EXPECT_EQ(Json::parse(seen["qvotk/north/13/block"])["values"].size(), 16u);
  EXPECT_EQ(Json::parse(seen["qvotk/south/7/S"])["status"], 0);
  EXPECT_EQ(Json::parse(seen["qvotk/south/7/S"])["attempts"], 1) << "attempts from the driver's capture";
  EXPECT_EQ(seen["qvotk/south/8/status"], "offline");
  EXPECT_EQ(seen["qvotk/gateway/status"], "online");
  EXPECT_TRUE(Json::parse(seen["qvotk/gateway/stats"])["stations"].contains("north/12"));

  std::string output;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RunCommand("mosquitto_pub -p " + std::to_string(brokerPort) + " -t qvotk/north/12/005/set -m 2", &output);
  });
  const auto results = Messages("qvotk/north/12/005/result", 1, 5);
  setter.join();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(Json::parse(results[0].second)["status"], 0);

  const int killed = gateway->pid();
  kill(killed, SIGKILL);
  gateway->Wait(2000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto will = Messages("qvotk/gateway/status", 1, 5);
  ASSERT_EQ(will.size(), 1u);
  EXPECT_EQ(will[0].second, "offline") << "the last will";
  // What the killed gateway left behind, the next one removes.
  const std::string leftover = "/tmp/qvotk-gateway-" + std::to_string(killed);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
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
  EXPECT_NE(Log().find("mqtt: connection to 127.0.0.1 lost"), std::string::npos);
}

// A silent station goes offline and costs its line only a retry now and
// then: station 7 keeps close to its interval. An adapter that vanishes and
// comes back shows offline, then online, with no restart.
TEST_F(GatewayTest, StationsGoOfflineAndComeBackWithoutStarvingTheLine) {
  UnpluggableLine line(workingDirectory.path(), {"--station", "12", "--station", "13"});
  ASSERT_TRUE(line.PlugIn());
  ASSERT_TRUE(StartGateway(Config(line.name)));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  kill(gateway->pid(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  kill(gateway->pid(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Station 7's requests over the 3 s between the two counts.
  std::vector<long> counts;
  const std::string log = Log();
  for (size_t at = 0; (at = log.find("stats ", at)) != std::string::npos; ++at) {
    const size_t end = log.find('\n', at);
    counts.push_back(
        Json::parse(log.substr(at + 6, end - at - 6))["stations"]["south/7"]["requests"].get<long>());
  }
  ASSERT_EQ(counts.size(), 2u) << log;
  EXPECT_GE(counts[1] - counts[0], 15) << "about 30 at its 100 ms interval, whatever station 8 costs";
  EXPECT_NE(log.find("station 8 offline"), std::string::npos) << log;

  line.Pull();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::map<std::string, std::string> seen;
  for (const auto& [topic, payload] : Messages("qvotk/north/+/status", 2, 2)) seen[topic] = payload;
  EXPECT_EQ(seen["qvotk/north/12/status"], "offline");
  ASSERT_TRUE(line.PlugIn());
  const auto end = Clock::now() + std::chrono::seconds(8);
  while (Clock::now() < end && seen["qvotk/north/12/status"] != "online") {
    for (const auto& [topic, payload] : Messages("qvotk/north/12/status", 1, 1)) seen[topic] = payload;
  }
  EXPECT_EQ(seen["qvotk/north/12/status"], "online") << "back without a restart";
}

// Sixteen mbpoll clients at once, beside one client that sends garbage and
// one that stalls mid-frame: all sixteen are served.
TEST_F(GatewayTest, SixteenClientsAndOneRudeOneAtOnce) {
  ASSERT_TRUE(StartGateway(Config(north.port)));
  auto connectTo = [this] {
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(modbusPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return client;
  };
  const int stalled = connectTo();
  const char head[] = {0x00, 0x01, 0x00};  // a frame's first bytes, and no more
  ASSERT_EQ(send(stalled, head, sizeof head, 0), 3);
  const int rude = connectTo();
  const std::string garbage(300, '\xA5');
  send(rude, garbage.data(), garbage.size(), MSG_NOSIGNAL);

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
  close(stalled);
  close(rude);
}

// SIGTERM stops the gateway within a second, even while a request waits on
// a station that never answers; SIGHUP reloads without reopening a line
// whose settings stayed.
TEST_F(GatewayTest, SighupReloadsAndSigtermStopsWithinASecond) {
  std::string config = Config(north.port);
  ASSERT_TRUE(StartGateway(config));
  const size_t opens = [&] {
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = 0; (at = log.find(" open at ", at)) != std::string::npos; ++at) ++count;
    return count;
  }();
  config.replace(config.find("interval_ms = 200"), 17, "interval_ms = 300");
  workingDirectory.WriteFile("gateway.toml", config);
  kill(gateway->pid(), SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string log = Log();
  EXPECT_NE(log.find("configuration reloaded"), std::string::npos) << log;
  size_t reopened = 0;
  for (size_t at = 0; (at = log.find(" open at ", at)) != std::string::npos; ++at) ++reopened;
  EXPECT_EQ(reopened, opens) << "no line dropped: " << log;

  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // station 8's attempts are under way
  const auto asked = Clock::now();
  kill(gateway->pid(), SIGTERM);
  EXPECT_EQ(gateway->Wait(3000), 0);
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));
}

// A configuration that is wrong is refused with 64, naming file, line and key.
TEST_F(GatewayTest, ABadConfigurationNamesFileLineAndKey) {
  std::string output;
  workingDirectory.WriteFile("bad.toml", "[[line]]\nname = \"a\"\nport = \"pts/1\"\nspeed = 9600\n");
  EXPECT_EQ(
      RunCommand(kBin + "/qvotk-gateway --check-config " + workingDirectory.path() + "/bad.toml", &output),
      64);
  EXPECT_NE(output.find("bad.toml:4: line.speed: unknown key"), std::string::npos) << output;
  std::string config = Config(north.port);
  config.replace(config.find("address = 13"), 12, "address = 99999");
  workingDirectory.WriteFile("gateway.toml", config);
  EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --config gateway.toml", &output), 64);
  EXPECT_NE(output.find("gateway.toml:22: line.station.address: must be 0-9999"), std::string::npos)
      << output;
  EXPECT_EQ(RunCommand(kBin + "/qvotk-gateway --check-config " + kGatewayExample, &output), 0) << output;
}

}  // namespace
