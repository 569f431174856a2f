// The gateway's soak with faults: two lines, one of them pulled out and
// plugged in again, a station that never answers, 16 Modbus readers, writes
// through MQTT and Modbus, the broker killed, reloads that change nothing
// and reloads that replace a line, bursts of writes. It counts every value
// served for the wrong point (on Modbus and MQTT, against what tovek-sim
// holds), and every write answered as not carried out that reached the
// line anyway (from tovek-sim's trace: each write through MQTT goes to a
// point and value of its own); and it samples the gateway's memory,
// threads and descriptors, which must stay flat.
//
//   gateway_soak [--seconds 60] [--report FILE]
//
// Prints the figures as JSON (and writes them to FILE); exit status 0 when
// nothing was wrong and the gateway stayed flat, 1 otherwise.
#include <modbus/modbus.h>
#include <mosquitto.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "support/free_port.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"
#include "support/unpluggable_line.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBin = QVO_BIN_DIR;
constexpr int kReaders = 16;
constexpr int kFaultEveryS = 10;
constexpr int kBurst = 24;
constexpr int kFirstWritePoint = 100;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What tovek-sim holds: by unit and first register, and by topic.
const std::map<std::pair<int, int>, std::vector<uint16_t>> kRegisters = {
    {{1, 0}, {7, 201, 202}},
    {{1, 100}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
    {{3, 0}, {3}}};
const std::map<std::string, std::vector<uint16_t>> kTopics = {
    {"qvotk/north/12/S", {7}},
    {"qvotk/north/12/001", {201}},
    {"qvotk/north/12/002", {202}},
    {"qvotk/north/12/block", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
    {"qvotk/south/7/S", {3}}};

std::string Point(const std::string& name, int reg, int intervalMs) {
  return "    [[line.station.point]]\n    name = \"" + name + "\"\n" +
         (reg >= 0 ? "    register = " + std::to_string(reg) + "\n" : "") +
         "    interval_ms = " + std::to_string(intervalMs) + "\n";
}

// Points written once each through MQTT, polled once a day.
std::string WritePoints(int count) {
  std::string points;
  for (int i = 0; i < count; ++i) points += Point(std::to_string(kFirstWritePoint + i), -1, 86400000);
  return points;
}

struct Setup {
  std::string northPort, southPort;
  int modbusPort = 0, brokerPort = 0, writePoints = 0;
};

// North: station 12 read by everyone, station 14 written through MQTT.
// South: station 7, and station 8, which never answers.
std::string ConfigText(const Setup& s, int northTimeoutMs) {
  return "[gateway]\nretry_offline_s = 5\nstate_directory = \"state\"\n\n[[line]]\nname = \"north\"\nport = "
         "\"" +
         s.northPort + "\"\ntimeout_ms = " + std::to_string(northTimeoutMs) +
         "\n  [[line.station]]\n  address = 12\n  unit_id = 1\n" + Point("S", 0, 100) + Point("001", 1, 100) +
         Point("002", 2, 200) + Point("003", 3, 1000) + Point("block", 100, 500) + "    count = 16\n" +
         "  [[line.station]]\n  address = 14\n" + WritePoints(s.writePoints) +
         "\n[[line]]\nname = \"south\"\nport = \"" + s.southPort +
         "\"\ntimeout_ms = 20\n  [[line.station]]\n  address = 7\n  unit_id = 3\n" + Point("S", 0, 100) +
         "  [[line.station]]\n  address = 8\n  unit_id = 4\n" + Point("S", 0, 1000) +
         WritePoints(s.writePoints) +
         "\n[modbus]\nlisten = \"127.0.0.1\"\nport = " + std::to_string(s.modbusPort) +
         "\n\n[mqtt]\nhost = \"127.0.0.1\"\nport = " + std::to_string(s.brokerPort) + "\n";
}

// The MQTT side: every value published is checked, every write's result
// kept by its topic and value; and the writes are published from here.
class MqttWatch {
 public:
  explicit MqttWatch(int port) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int result) {
      if (result == 0) mosquitto_subscribe(client, nullptr, "qvotk/#", 1);
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
      static_cast<MqttWatch*>(self)->Take(message);
    });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_async(client_, "127.0.0.1", port, 10);
    mosquitto_loop_start(client_);
  }
  ~MqttWatch() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
  }

  void Set(const std::string& target, int value) {
    const std::string topic = "qvotk/" + target + "/set", payload = std::to_string(value);
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                      false);
  }
  // The result of the write of `value` to "line/station/point"; "" when none came.
  std::string Result(const std::string& target, int value) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = results_.find(target + "=" + std::to_string(value));
    return found == results_.end() ? "" : found->second;
  }
  long checked() const { return checked_; }
  long wrong() const { return wrong_; }

 private:
  void Take(const mosquitto_message* message) {
    const std::string topic = message->topic;
    const auto payload = Json::parse(
        std::string(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen)),
        nullptr, false);
    if (payload.is_discarded() || !payload.is_object()) return;
    const std::string suffix = "/result";
    if (topic.size() > suffix.size() &&
        topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
      const std::string target = topic.substr(6, topic.size() - 6 - suffix.size());
      const std::lock_guard<std::mutex> lock(mutex_);
      results_[target + "=" + std::to_string(payload.value("value", -1))] = payload.value("result", "?");
      return;
    }
    const auto expected = kTopics.find(topic);
    if (expected == kTopics.end() || payload.value("status", -1) != 0) return;
    ++checked_;
    const Json values = payload.contains("values") ? payload["values"] : Json::array({payload["value"]});
    if (values != Json(expected->second)) {
      ++wrong_;
      std::fprintf(stderr, "gateway_soak: wrong value on %s: %s\n", topic.c_str(), payload.dump().c_str());
    }
  }

  mosquitto* client_;
  std::mutex mutex_;
  std::map<std::string, std::string> results_;
  std::atomic<long> checked_{0}, wrong_{0};
};

struct ModbusCounts {
  std::atomic<long> reads{0}, wrong{0}, exceptions{0}, reconnects{0};
  std::mutex mutex;
  std::map<std::string, long> writeAnswers;  // "ok", "0x0B", ...
};

// A reader: every 20 ms a read of S, 001 and 002, or of the block, or of
// south's S, each checked.
void Read(int port, int index, const std::atomic<bool>& stop, ModbusCounts* counts) {
  modbus_t* client = modbus_new_tcp("127.0.0.1", port);
  modbus_set_response_timeout(client, 1, 0);
  bool connected = modbus_connect(client) == 0;
  uint16_t values[16];
  for (long turn = index; !stop; ++turn) {
    SleepMs(20);
    if (!connected) {
      ++counts->reconnects;
      connected = modbus_connect(client) == 0;
      continue;
    }
    auto asked = kRegisters.begin();
    std::advance(asked, turn % static_cast<long>(kRegisters.size()));
    const auto& [where, expected] = *asked;
    modbus_set_slave(client, where.first);
    const int count = static_cast<int>(expected.size());
    const int got = modbus_read_registers(client, where.second, count, values);
    if (got == count) {
      ++counts->reads;
      if (!std::equal(expected.begin(), expected.end(), values)) {
        ++counts->wrong;
        std::fprintf(stderr, "gateway_soak: wrong value read at unit %d, register %d\n", where.first,
                     where.second);
      }
    } else if (errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 12) {
      ++counts->exceptions;
    } else {
      modbus_close(client);
      connected = false;
    }
  }
  modbus_close(client);
  modbus_free(client);
}

// A Modbus writer: every 500 ms, north's point 003 (1 and 2 in turn) and
// the silent station's S; the answers counted.
void WriteThroughModbus(int port, const std::atomic<bool>& stop, ModbusCounts* counts) {
  modbus_t* client = modbus_new_tcp("127.0.0.1", port);
  modbus_set_response_timeout(client, 3, 0);
  bool connected = false;
  for (int turn = 0; !stop; ++turn) {
    SleepMs(500);
    if (!connected && !(connected = modbus_connect(client) == 0)) continue;
    const bool silent = turn % 2 == 1;
    modbus_set_slave(client, silent ? 4 : 1);
    const uint16_t value = silent || turn / 2 % 2 == 0 ? 1 : 2;
    const int done = modbus_write_register(client, silent ? 0 : 3, value);
    std::string answer = "ok";
    if (done != 1 && errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 12) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", errno - MODBUS_ENOBASE);
      answer = code;
    } else if (done != 1) {
      answer = "no reply";
      modbus_close(client);
      connected = false;
    }
    const std::lock_guard<std::mutex> lock(counts->mutex);
    ++counts->writeAnswers[(silent ? "silent station: " : "north 003: ") + answer];
  }
  modbus_close(client);
  modbus_free(client);
}

// The gateway's resident memory (kB; of it, what no file backs: its heap
// and stacks), threads and descriptors, now.
struct Sample {
  double at = 0;
  long rssKb = 0, anonymousKb = 0, threads = 0, fds = 0;
};
Sample SampleOf(int pid, double at) {
  Sample sample;
  sample.at = at;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") status >> sample.rssKb;
    if (key == "RssAnon:") status >> sample.anonymousKb;
    if (key == "Threads:") status >> sample.threads;
  }
  std::error_code failed;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", failed);
       !failed && it != std::filesystem::directory_iterator(); it.increment(failed)) {
    ++sample.fds;
  }
  return sample;
}

// The largest of each figure over the samples from `from` to `to` (parts of the run).
Sample Peak(const std::vector<Sample>& samples, double from, double to, double seconds) {
  Sample peak;
  for (const Sample& s : samples) {
    if (s.at < from * seconds || s.at > to * seconds) continue;
    peak.rssKb = std::max(peak.rssKb, s.rssKb);
    peak.anonymousKb = std::max(peak.anonymousKb, s.anonymousKb);
    peak.threads = std::max(peak.threads, s.threads);
    peak.fds = std::max(peak.fds, s.fds);
  }
  return peak;
}

// Each write on the line, by "line/station/point=value", from a trace.
void WritesOnTheLine(const std::string& line, const std::string& trace, std::map<std::string, int>* seen) {
  static const std::regex kWrite("station (\\d+): write point (\\d{3}) = (\\d)");
  std::ifstream in(trace);
  std::smatch match;
  for (std::string text; std::getline(in, text);) {
    if (std::regex_search(text, match, kWrite)) {
      ++(*seen)[line + "/" + match[1].str() + "/" + match[2].str() + "=" + match[3].str()];
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::string reportFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--seconds") seconds = std::max(20, std::atoi(argv[i + 1]));
    if (std::string(argv[i]) == "--report") reportFile = argv[i + 1];
  }
  signal(SIGPIPE, SIG_IGN);
  TemporaryWorkingDirectory folder;
  const int bursts = seconds / kFaultEveryS / 5 + 1;
  Setup setup;
  // Each write through MQTT has its point and value to itself: a point
  // takes 1, then 2.
  setup.writePoints = std::min(900, (seconds + bursts * kBurst) / 2 + 10);
  setup.modbusPort = FreeTcpPort();
  setup.brokerPort = FreeTcpPort();

  folder.WriteFile("mosquitto.conf",
                   "listener " + std::to_string(setup.brokerPort) +
                       " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n");
  auto broker = std::make_unique<ChildProcess>();
  std::string error;
  auto startBroker = [&] {
    broker = std::make_unique<ChildProcess>();
    return broker->Start("/usr/sbin/mosquitto", {"-c", folder.path() + "/mosquitto.conf"}, &error);
  };
  UnpluggableLine north(folder.path(), {"--station", "12", "--station", "14", "--s-point", "12:7", "--point",
                                        "12:1=201", "--point", "12:2=202"});
  north.traceFile = folder.path() + "/north.trace";
  SimulatorProcess south;
  south.traceFile = folder.path() + "/south.trace";
  if (!startBroker() || !north.PlugIn() || !south.Start({"--station", "7", "--s-point", "7:3"})) {
    std::fprintf(stderr, "gateway_soak: cannot start the broker or the simulators: %s\n", error.c_str());
    return 1;
  }
  setup.northPort = north.name;
  setup.southPort = south.port;
  int northTimeoutMs = 50;
  folder.WriteFile("gateway.toml", ConfigText(setup, northTimeoutMs));
  ChildProcess gateway;
  if (!gateway.Start("/bin/sh", {"-c", "exec " + kBin + "/qvotk-gateway --config gateway.toml 2>gateway.log"},
                     &error)) {
    return 1;
  }
  SleepMs(1000);  // its first polls; what comes before the readers is no matter

  std::atomic<bool> stop{false};
  ModbusCounts modbus;
  MqttWatch mqtt(setup.brokerPort);
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i)
    threads.emplace_back(Read, setup.modbusPort, i, std::cref(stop), &modbus);
  threads.emplace_back(WriteThroughModbus, setup.modbusPort, std::cref(stop), &modbus);
  // Writes through MQTT: one a second to north's station 14, one every
  // three seconds to the silent station, and bursts.
  std::mutex sentMutex;
  std::vector<std::pair<std::string, int>> sent;  // "line/station/point", value
  std::map<std::string, int> nextWrite;
  auto writeOnce = [&](const std::string& station) {
    const std::lock_guard<std::mutex> lock(sentMutex);
    const int k = nextWrite[station]++;
    if (k >= 2 * setup.writePoints) return;
    const std::string point = std::to_string(kFirstWritePoint + k % setup.writePoints);  // 100-999
    const int value = 1 + k / setup.writePoints;
    sent.emplace_back(station + "/" + point, value);
    mqtt.Set(station + "/" + point, value);
  };
  threads.emplace_back([&] {
    for (int turn = 0; !stop; ++turn) {
      SleepMs(1000);
      writeOnce("north/14");
      if (turn % 3 == 0) writeOnce("south/8");
    }
  });
  std::vector<Sample> samples;
  const auto start = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  threads.emplace_back([&] {
    while (!stop) {
      samples.push_back(SampleOf(gateway.pid(), elapsed()));
      SleepMs(1000);
    }
  });

  // The faults, one every 10 s in turn.
  std::map<std::string, int> faults;
  for (int event = 0; elapsed() + kFaultEveryS < seconds; ++event) {
    std::this_thread::sleep_until(start + std::chrono::seconds(kFaultEveryS * (event + 1)));
    switch (event % 5) {
      case 0:
        broker->Stop(SIGKILL);
        SleepMs(2000);
        startBroker();
        ++faults["broker killed"];
        break;
      case 1:
        north.Pull();
        SleepMs(3000);
        north.PlugIn();
        ++faults["line unplugged"];
        break;
      case 2:
        kill(gateway.pid(), SIGHUP);
        ++faults["reloads that change nothing"];
        break;
      case 3:
        northTimeoutMs = northTimeoutMs == 50 ? 60 : 50;
        folder.WriteFile("gateway.toml", ConfigText(setup, northTimeoutMs));
        kill(gateway.pid(), SIGHUP);
        ++faults["reloads that replace a line"];
        break;
      case 4:
        for (int i = 0; i < kBurst; ++i) writeOnce("north/14");
        ++faults["bursts of writes"];
        break;
    }
  }
  std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  SleepMs(3000);  // the last results
  gateway.Wait(0);
  const bool stillRunning = gateway.running();
  const bool stoppedWell = gateway.Stop(SIGTERM) == 0;

  // Every write through MQTT against the line.
  std::map<std::string, int> onTheLine;
  WritesOnTheLine("north", north.traceFile, &onTheLine);
  WritesOnTheLine("south", south.traceFile, &onTheLine);
  std::map<std::string, long> results;
  long carriedAfterAnswer = 0, carriedMoreThanOnce = 0;
  const std::set<std::string> carried = {"written", "refused", "no answer"};
  for (const auto& [target, value] : sent) {
    const std::string result = mqtt.Result(target, value);
    ++results[result.empty() ? "(no result: the broker was away)" : result];
    const int times = onTheLine[target + "=" + std::to_string(value)];
    if (times > 0 && !result.empty() && carried.count(result) == 0) {
      ++carriedAfterAnswer;
      std::fprintf(stderr, "gateway_soak: %s := %d answered %s, yet on the line\n", target.c_str(), value,
                   result.c_str());
    }
    if (times > 1) ++carriedMoreThanOnce;
  }

  const Sample early = Peak(samples, 0.2, 0.4, seconds), late = Peak(samples, 0.8, 1.0, seconds);
  const bool flat = late.threads <= early.threads + 3 && late.fds <= early.fds + 3 &&
                    late.rssKb <= early.rssKb + early.rssKb / 10 + 2048;
  auto figures = [](const Sample& s) {
    return Json{{"rssKb", s.rssKb}, {"anonymousKb", s.anonymousKb}, {"threads", s.threads}, {"fds", s.fds}};
  };
  const long wrong = modbus.wrong + mqtt.wrong();
  Json report = {{"seconds", seconds},
                 {"faults", faults},
                 {"modbus",
                  {{"readers", kReaders},
                   {"reads", modbus.reads.load()},
                   {"wrongValues", modbus.wrong.load()},
                   {"exceptions", modbus.exceptions.load()},
                   {"reconnects", modbus.reconnects.load()},
                   {"writes", modbus.writeAnswers}}},
                 {"mqtt", {{"valuesChecked", mqtt.checked()}, {"wrongValues", mqtt.wrong()}}},
                 {"mqttWrites",
                  {{"sent", sent.size()},
                   {"results", results},
                   {"carriedAfterAnswer", carriedAfterAnswer},
                   {"carriedMoreThanOnce", carriedMoreThanOnce}}},
                 {"gateway",
                  {{"runningAtTheEnd", stillRunning},
                   {"stoppedBySigterm", stoppedWell},
                   {"first", figures(samples.empty() ? Sample{} : samples.front())},
                   {"peak20to40", figures(early)},
                   {"peak80to100", figures(late)},
                   {"last", figures(samples.empty() ? Sample{} : samples.back())},
                   {"flat", flat}}}};
  Json series = Json::array();  // seconds, kB, anonymous kB, threads, descriptors: one a second
  for (const Sample& s : samples) {
    series.push_back({static_cast<int>(s.at), s.rssKb, s.anonymousKb, s.threads, s.fds});
  }
  report["gateway"]["samples"] = series;
  const bool good = stillRunning && stoppedWell && flat && wrong == 0 && carriedAfterAnswer == 0 &&
                    carriedMoreThanOnce == 0 && modbus.reads > 0 && mqtt.checked() > 0 &&
                    results["written"] > 0;
  report["pass"] = good;
  std::printf("%s\n", report.dump(2).c_str());
  if (!reportFile.empty()) std::ofstream(reportFile) << report.dump(2) << "\n";
  if (!good) {
    std::ifstream log(folder.path() + "/gateway.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i) {
      std::fprintf(stderr, "%s\n", lines[i].c_str());
    }
  }
  return good ? 0 : 1;
}
