#include "gateway.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "log.h"
#include "qvotk_host/host_facts.h"

namespace gateway {
namespace {

using Json = nlohmann::ordered_json;

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t middle = samples.size() / 2;
  return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

std::string StationTopic(const std::string& line, int station) {
  return line + "/" + std::to_string(station);
}

// A write's answer on its "/result" topic: what happened, in a word, the
// status as qvotk's (0 done, 1 refused, 2 not done or no answer, 64 not a
// write for this gateway), and why.
Json ResultOf(const WriteAnswer& answer) {
  switch (answer.end) {
    case WriteEnd::Carried:
      if (answer.status == QVO_STATUS_OK) return {{"result", "written"}, {"status", 0}};
      if (answer.status == QVO_STATUS_REJECTED) {
        return {{"result", "refused"}, {"status", 1}, {"error", "the controller refused the write"}};
      }
      return {{"result", "no answer"},
              {"status", answer.status},
              {"error", "no answer from the station: the write may have been carried out"}};
    case WriteEnd::Expired:
      return {{"result", "expired"},
              {"status", 2},
              {"error", "not started within write_timeout_ms: not written"}};
    case WriteEnd::Offline:
      return {{"result", "offline"}, {"status", 2}, {"error", "the station is offline: not written"}};
    case WriteEnd::Busy:
      return {
          {"result", "busy"}, {"status", 2}, {"error", "the line's queue of writes is full: not written"}};
    case WriteEnd::Withdrawn:
      return {{"result", "withdrawn"},
              {"status", 2},
              {"error", "the line or point went, or the gateway stops: not written"}};
    case WriteEnd::UnknownPoint:
      return {{"result", "invalid"},
              {"status", qvotk_host::kExitUsage},
              {"error", "no such point polled on this line"}};
    case WriteEnd::RefusedValue:
      return {{"result", "refused"},
              {"status", 1},
              {"error", "the point does not take this value: S takes 0-9, a numbered point 1 or 2"}};
    case WriteEnd::ReadOnly:
    case WriteEnd::Denied:
      return {{"result", "read-only"}, {"status", 1}, {"error", "the point is read-only: not written"}};
  }
  return {{"result", "invalid"}, {"status", qvotk_host::kExitUsage}};
}

}  // namespace

bool Gateway::Start(const Config& config, std::string* error) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
  }
  // The listener and the broker's settings hold until the next start.
  mqttEnabled_ = config.mqtt.enabled;
  writeTimeoutMs_ = config.mqtt.writeTimeoutMs;
  if (config.modbus.enabled && !modbus_.Start(config.modbus, this, error)) return false;
  const auto gauges = [this] { return Gauges(); };
  if (config.metrics.enabled && !metrics_.Serve(config.metrics.listen, gauges, error)) return false;
  if (config.mqtt.enabled &&
      !mqtt_.Start(
          config.mqtt, config.stateDirectory,
          [this](const std::string& line, int station, const std::string& point, const std::string& payload,
                 bool retained) { OnSet(line, station, point, payload, retained); },
          [this] { PublishAll(); }, error)) {
    return false;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const LineConfig& line : config.lines) StartLine(line);
  return true;
}

void Gateway::StartLine(const LineConfig& line, PortHolds before) {
  auto worker = std::make_unique<LineWorker>(config_, line, entry_, this, &metrics_);
  worker->Start(std::move(before));
  workers_[line.name] = std::move(worker);
}

void Gateway::Reload(const Config& config) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, std::unique_ptr<LineWorker>> kept;
  for (const LineConfig& line : config.lines) {
    auto found = workers_.find(line.name);
    if (found != workers_.end() && found->second->line().SameLineAs(line)) {
      found->second->Update(config, line);
      kept[line.name] = std::move(found->second);
      workers_.erase(found);
    }
  }
  // What is left changed or went: stopped, its channel closed when idle,
  // and what was read on it forgotten.
  for (auto& [name, worker] : workers_) {
    Log(Level::Info, "line " + name, "stopped by the new configuration");
    worker->RequestStop();
    store_.ForgetLine(name);
    retired_.push_back(std::move(worker));
  }
  workers_.clear();
  retired_.erase(
      std::remove_if(retired_.begin(), retired_.end(),
                     [](const std::unique_ptr<LineWorker>& worker) { return worker->WaitStopped(0); }),
      retired_.end());
  workers_ = std::move(kept);
  // Who may connect and write changes now; where the servers listen, at the next start.
  if (modbus_.port() != 0) modbus_.SetAccess(config.modbus.access);
  if (config.modbus.listen != config_.modbus.listen || config.modbus.port != config_.modbus.port) {
    Log(Level::Warning, "modbus", "a new listener takes effect when the gateway starts again");
  }
  if (config.metrics.listen != config_.metrics.listen || config.metrics.enabled != config_.metrics.enabled) {
    Log(Level::Warning, "metrics", "a new listener takes effect when the gateway starts again");
  }
  const Config old = config_;
  config_ = config;
  // A station that left the configuration is not polled any more: its
  // retained status must not say online.
  for (const LineConfig& line : old.lines) {
    for (const StationConfig& station : line.stations) {
      if (!PointsOf(line.name, station.address).empty()) continue;
      online_.erase({line.name, station.address});
      if (mqttEnabled_) mqtt_.Publish(StationTopic(line.name, station.address) + "/status", "offline");
    }
  }
  for (const LineConfig& line : config.lines) {
    if (workers_.count(line.name) != 0) continue;
    PortHolds before;
    for (const auto& retired : retired_) {
      if (retired->line().port == line.port) before.push_back(retired->hold());
    }
    StartLine(line, before);
  }
  Log(Level::Info, "gateway", "configuration reloaded: " + std::to_string(config.lines.size()) + " lines");
}

void Gateway::Stop(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::vector<std::pair<std::string, LineWorker*>> workers;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [name, worker] : workers_) {
      worker->RequestStop();
      workers.emplace_back(name, worker.get());
    }
  }
  // Every station offline, retained, before the gateway itself.
  std::vector<std::pair<std::string, std::string>> statuses;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const LineConfig& line : config_.lines) {
      for (const StationConfig& station : line.stations) {
        statuses.emplace_back(StationTopic(line.name, station.address) + "/status", "offline");
      }
    }
  }
  mqtt_.Stop(statuses, ms / 3);
  for (auto& [name, worker] : workers) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (!worker->WaitStopped(static_cast<int>(std::max<int64_t>(0, left.count() / 2)))) {
      Log(Level::Info, "line " + name, "a request is in flight; the port goes when the process ends");
    }
  }
  // Last, so that what the lines read while stopping is kept too.
  mqtt_.Flush();
}

// What is published is published under the lock, so that a value read
// before another is never published after it: the retained one is the last.
bool Gateway::LinesSettled() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [name, worker] : workers_) {
    if (!worker->settled()) return false;
  }
  return true;
}

int64_t Gateway::OldestLoopUs() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  int64_t oldest = INT64_MAX;
  for (const auto& [name, worker] : workers_) oldest = std::min(oldest, worker->lastLoopUs());
  return oldest;
}

void Gateway::OnReading(const LineWorker& from, int station, const std::string& point,
                        const PointReading& reading) {
  const std::string& line = from.line().name;
  const PointKey key{line, station, point};
  const std::lock_guard<std::mutex> lock(mutex_);
  // A line stopped by a reload finishes its request: what it read is not
  // this line's any more.
  if (WorkerOf(line) != &from) return;
  const bool changed = store_.Put(key, reading);
  int publishEveryS = 60;
  for (const LineConfig& l : config_.lines) {
    for (const StationConfig& s : l.stations) {
      for (const PointConfig& p : s.points) {
        if (l.name == line && s.address == station && p.name == point) publishEveryS = p.publishEveryS;
      }
    }
  }
  int64_t& last = lastPublishedUs_[key];
  if (!changed && reading.timeUs - last < int64_t{publishEveryS} * 1000000) return;
  last = reading.timeUs;
  PublishReading(key, reading);
}

void Gateway::PublishReading(const PointKey& key, const PointReading& reading) {
  if (!mqttEnabled_) return;
  Json message;
  if (reading.status == QVO_STATUS_OK) {
    if (key.point == "block") {
      message["values"] = reading.values;
    } else {
      message["value"] = reading.values.empty() ? 0 : reading.values[0];
    }
  }
  message["status"] = reading.status;
  message["time"] = IsoTime(reading.timeUs);
  if (reading.attempts > 0) message["attempts"] = reading.attempts;
  const std::string payload = message.dump();
  if (mqtt_.Keep(StationTopic(key.line, key.station) + "/" + key.point, payload, payload)) {
    liveUs_[key] = reading.timeUs;
  }
}

void Gateway::PublishStatus(const std::string& line, int station, bool online, int64_t timeUs) {
  if (!mqttEnabled_) return;
  const std::string state = online ? "online" : "offline";
  // Kept with its time, which the live topic's word does not carry.
  mqtt_.Keep(StationTopic(line, station) + "/status", state,
             Json{{"status", state}, {"time", IsoTime(timeUs)}}.dump());
}

void Gateway::OnStationState(const LineWorker& from, int station, bool online) {
  const std::string& line = from.line().name;
  const std::lock_guard<std::mutex> lock(mutex_);
  if (WorkerOf(line) != &from) return;
  online_[{line, station}] = online;
  store_.SetOnline(line, station, online);
  const int64_t now = UnixMicroseconds();
  // Its values are published again as failed, of the time it went.
  if (!online) {
    PointReading offline;
    offline.timeUs = now;
    const std::vector<std::string> points = PointsOf(line, station);
    store_.MarkOffline(line, station, points, offline.timeUs);
    for (const std::string& point : points) PublishReading({line, station, point}, offline);
  }
  PublishStatus(line, station, online, now);
}

std::vector<std::string> Gateway::PointsOf(const std::string& line, int station) const {
  std::vector<std::string> points;
  for (const LineConfig& l : config_.lines) {
    for (const StationConfig& s : l.stations) {
      if (l.name != line || s.address != station) continue;
      for (const PointConfig& p : s.points) points.push_back(p.name);
    }
  }
  return points;
}

// After a (re)connect: every station's state and every point's last value.
void Gateway::PublishAll() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const LineConfig& line : config_.lines) {
    for (const StationConfig& station : line.stations) {
      const auto found = online_.find({line.name, station.address});
      PublishStatus(line.name, station.address, found == online_.end() || found->second, UnixMicroseconds());
    }
  }
  for (const auto& [key, reading] : store_.Readings()) {
    const std::vector<std::string> points = PointsOf(key.line, key.station);
    // A reading that went out live since the broker came back is not sent twice.
    const auto live = liveUs_.find(key);
    if (live != liveUs_.end() && live->second == reading.timeUs) continue;
    if (std::find(points.begin(), points.end(), key.point) != points.end()) PublishReading(key, reading);
  }
}

LineWorker* Gateway::WorkerOf(const std::string& line) {
  const auto found = workers_.find(line);
  return found == workers_.end() ? nullptr : found->second.get();
}

void Gateway::Submit(const std::string& line, const std::shared_ptr<WriteOrder>& order) {
  deadlines_.Watch(order);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (LineWorker* worker = WorkerOf(line)) {
    worker->Submit(order);
  } else {
    order->Drop(WriteEnd::UnknownPoint);
  }
}

void Gateway::OnSet(const std::string& line, int station, const std::string& point,
                    const std::string& payload, bool retained) {
  const std::string topic = StationTopic(line, station) + "/" + point;
  auto publish = [this, topic](Json result) {
    result["time"] = IsoTime(UnixMicroseconds());
    mqtt_.Publish(topic + "/result", result.dump(-1, ' ', false, Json::error_handler_t::replace), false);
  };
  // A retained write is what someone asked for once, not now: never
  // carried out, and left where it is, for it is not the gateway's.
  if (retained) {
    bool first = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (retainedSetsLogged_.size() > 4096) retainedSetsLogged_.clear();
      first = retainedSetsLogged_.insert(topic).second;
    }
    if (first) {
      Log(Level::Warning, "mqtt",
          "a retained write on " + Quoted(mqtt_.FullTopic(topic + "/set")) +
              " is not carried out; whoever published it may clear it");
    }
    publish({{"result", "retained"},
             {"status", qvotk_host::kExitUsage},
             {"error", "a retained write is never carried out: publish it without the retain flag"}});
    return;
  }
  uint16_t value = 0;
  std::string why;
  if (!ParseSetValue(payload, &value, &why)) {
    publish({{"result", "invalid"}, {"status", qvotk_host::kExitUsage}, {"error", why}});
    return;
  }
  const auto deadline = WriteOrder::Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
  Submit(line, std::make_shared<WriteOrder>(station, point, value, deadline,
                                            [this, line, station, publish, value](const WriteAnswer& answer) {
                                              metrics_.Write(line, station, "mqtt", WriteResultWord(answer));
                                              Json result = ResultOf(answer);
                                              result["value"] = value;
                                              publish(result);
                                            }));
}

bool Gateway::Target(int unit, int reg, RegisterTarget* target) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const LineConfig& line : config_.lines) {
    for (const StationConfig& station : line.stations) {
      if (station.unitId != unit) continue;
      for (const PointConfig& point : station.points) {
        const int width = point.name == "block" ? point.blockCount : 1;
        if (point.reg < 0 || reg < point.reg || reg >= point.reg + width) continue;
        *target = {line.name,       station.address, point.name, reg - point.reg, point.name == "block",
                   station.maxAgeS, point.readOnly};
        return true;
      }
    }
  }
  return false;
}

bool Gateway::Value(const RegisterTarget& target, uint16_t* value) {
  if (!store_.Online(target.line, target.station)) return false;
  PointReading reading;
  if (!store_.LastGood({target.line, target.station, target.point}, &reading)) return false;
  if (UnixMicroseconds() - reading.timeUs > int64_t{target.maxAgeS} * 1000000) return false;
  if (static_cast<size_t>(target.index) >= reading.values.size()) return false;
  *value = reading.values[static_cast<size_t>(target.index)];
  return true;
}

std::shared_ptr<WriteOrder> Gateway::Write(const RegisterTarget& target, uint16_t value,
                                           WriteOrder::Clock::time_point deadline,
                                           WriteOrder::Answer answer) {
  auto counted = [this, target, answer = std::move(answer)](const WriteAnswer& given) {
    metrics_.Write(target.line, target.station, "modbus", WriteResultWord(given));
    answer(given);
  };
  auto order = std::make_shared<WriteOrder>(target.station, target.point, value, deadline, counted);
  Submit(target.line, order);
  return order;
}

void Gateway::Refused(const RegisterTarget& target, WriteEnd why) {
  metrics_.Write(target.line, target.station, "modbus", WriteResultWord({why, QVO_STATUS_NO_ANSWER}));
}

GaugeReadings Gateway::Gauges() {
  GaugeReadings readings;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, worker] : workers_) readings.lineBusy.emplace_back(name, worker->busyRatio());
    for (const LineConfig& line : config_.lines) {
      for (const StationConfig& station : line.stations) {
        readings.stations.push_back({line.name, station.address, store_.Online(line.name, station.address)});
      }
    }
  }
  readings.modbusClients = modbus_.ClientCount();
  readings.mqttConnected = mqtt_.connected();
  readings.mqttBuffered = mqtt_.Buffered();
  readings.mqttDropped = mqtt_.Dropped();
  return readings;
}

std::string Gateway::StatsJson() const {
  Json stats = Json::object();
  for (const auto& [station, counted] : store_.Stats()) {
    Json item;
    item["requests"] = counted.requests;
    Json failures = Json::object();
    for (const auto& [status, count] : counted.failuresByStatus) failures[std::to_string(status)] = count;
    item["failuresByStatus"] = failures;
    item["attempts"] = counted.attempts;
    if (!counted.latenciesMs.empty()) {
      item["latencyMinMs"] = *std::min_element(counted.latenciesMs.begin(), counted.latenciesMs.end());
      item["latencyMedianMs"] = Median(counted.latenciesMs);
      item["latencyMaxMs"] = *std::max_element(counted.latenciesMs.begin(), counted.latenciesMs.end());
    }
    item["offlinePeriods"] = counted.offlinePeriods;
    item["online"] = counted.online;
    stats[StationTopic(station.first, station.second)] = item;
  }
  return Json{{"time", IsoTime(UnixMicroseconds())}, {"stations", stats}}.dump();
}

void Gateway::PublishStats() {
  if (mqttEnabled_) mqtt_.Publish("gateway/stats", StatsJson());
}

void Gateway::LogStats() const { Log(Level::Info, "gateway", "stats " + StatsJson()); }

}  // namespace gateway
