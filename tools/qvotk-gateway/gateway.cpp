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

}  // namespace

bool Gateway::Start(const Config& config, std::string* error) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
  }
  if (config.modbus.enabled && !modbus_.Start(config.modbus, this, error)) return false;
  if (config.mqtt.enabled && !mqtt_.Start(
                                 config.mqtt,
                                 [this](const std::string& line, int station, const std::string& point,
                                        const std::string& payload) { OnSet(line, station, point, payload); },
                                 [this] { PublishAll(); }, error)) {
    return false;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const LineConfig& line : config.lines) StartLine(line);
  return true;
}

void Gateway::StartLine(const LineConfig& line) {
  auto worker = std::make_unique<LineWorker>(config_, line, entry_, this);
  worker->Start();
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
  // What is left changed or went: stopped, its channel closed when idle.
  for (auto& [name, worker] : workers_) {
    Log(Level::Info, "line " + name + ": stopped by the new configuration");
    worker->RequestStop();
    retired_.push_back(std::move(worker));
  }
  workers_.clear();
  retired_.erase(
      std::remove_if(retired_.begin(), retired_.end(),
                     [](const std::unique_ptr<LineWorker>& worker) { return worker->WaitStopped(0); }),
      retired_.end());
  workers_ = std::move(kept);
  config_ = config;
  for (const LineConfig& line : config.lines) {
    if (workers_.count(line.name) == 0) StartLine(line);
  }
  if (config.modbus.listen != config_.modbus.listen || config.modbus.port != config_.modbus.port) {
    Log(Level::Warning, "modbus: a new listener takes effect when the gateway starts again");
  }
  Log(Level::Info, "configuration reloaded: " + std::to_string(config.lines.size()) + " lines");
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
  mqtt_.Stop(ms / 3);
  for (auto& [name, worker] : workers) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (!worker->WaitStopped(static_cast<int>(std::max<int64_t>(0, left.count() / 2)))) {
      Log(Level::Info, "line " + name + ": a request is in flight; the port goes when the process ends");
    }
  }
}

void Gateway::OnReading(const std::string& line, int station, const std::string& point,
                        const PointReading& reading) {
  const PointKey key{line, station, point};
  const bool changed = store_.Put(key, reading);
  int publishEveryS = 60;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
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
  }
  PublishReading(key, reading);
}

void Gateway::PublishReading(const PointKey& key, const PointReading& reading) {
  if (!config_.mqtt.enabled) return;
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
  mqtt_.Publish(StationTopic(key.line, key.station) + "/" + key.point, message.dump());
}

void Gateway::OnStationState(const std::string& line, int station, bool online) {
  store_.SetOnline(line, station, online);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    online_[{line, station}] = online;
  }
  if (config_.mqtt.enabled)
    mqtt_.Publish(StationTopic(line, station) + "/status", online ? "online" : "offline");
}

// After a (re)connect: every station's state and every point's last value.
void Gateway::PublishAll() {
  std::map<std::pair<std::string, int>, bool> online;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const LineConfig& line : config_.lines) {
      for (const StationConfig& station : line.stations) {
        const auto found = online_.find({line.name, station.address});
        online[{line.name, station.address}] = found == online_.end() || found->second;
      }
    }
  }
  for (const auto& [station, up] : online) {
    mqtt_.Publish(StationTopic(station.first, station.second) + "/status", up ? "online" : "offline");
  }
  for (const auto& [key, reading] : store_.Readings()) PublishReading(key, reading);
}

LineWorker* Gateway::WorkerOf(const std::string& line) {
  const auto found = workers_.find(line);
  return found == workers_.end() ? nullptr : found->second.get();
}

void Gateway::OnSet(const std::string& line, int station, const std::string& point,
                    const std::string& payload) {
  const std::string result = StationTopic(line, station) + "/" + point + "/result";
  char* end = nullptr;
  const long value = std::strtol(payload.c_str(), &end, 10);
  if (payload.empty() || *end != '\0' || value < 0 || value > 65535) {
    mqtt_.Publish(result, Json{{"status", 64}, {"error", "the payload is no value: " + payload}}.dump(),
                  false);
    return;
  }
  WriteRequest request;
  request.station = station;
  request.point = point;
  request.value = static_cast<uint16_t>(value);
  request.done = [this, result, value](int status) {
    Json answer{{"value", value}, {"status", status}, {"time", IsoTime(UnixMicroseconds())}};
    mqtt_.Publish(result, answer.dump(), false);
  };
  int accepted = qvotk_host::kExitUsage;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (LineWorker* worker = WorkerOf(line)) accepted = worker->Submit(request);
  }
  if (accepted != QVO_STATUS_OK) {
    mqtt_.Publish(result,
                  Json{{"value", value},
                       {"status", accepted},
                       {"error", accepted == QVO_STATUS_REJECTED ? "the point does not take this value"
                                                                 : "no such point polled on this line"}}
                      .dump(),
                  false);
  }
}

bool Gateway::Target(int unit, int reg, RegisterTarget* target) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const LineConfig& line : config_.lines) {
    for (const StationConfig& station : line.stations) {
      if (station.unitId != unit) continue;
      for (const PointConfig& point : station.points) {
        const int width = point.name == "block" ? point.blockCount : 1;
        if (point.reg < 0 || reg < point.reg || reg >= point.reg + width) continue;
        *target = {line.name,       station.address,       point.name,
                   reg - point.reg, point.name == "block", station.maxAgeS};
        return true;
      }
    }
  }
  return false;
}

bool Gateway::Value(const RegisterTarget& target, uint16_t* value) {
  PointReading reading;
  if (!store_.LastGood({target.line, target.station, target.point}, &reading)) return false;
  if (UnixMicroseconds() - reading.timeUs > int64_t{target.maxAgeS} * 1000000) return false;
  if (static_cast<size_t>(target.index) >= reading.values.size()) return false;
  *value = reading.values[static_cast<size_t>(target.index)];
  return true;
}

int Gateway::Write(const RegisterTarget& target, uint16_t value) {
  auto result = std::make_shared<std::promise<int>>();
  std::future<int> answer = result->get_future();
  WriteRequest request;
  request.station = target.station;
  request.point = target.point;
  request.value = value;
  request.done = [result](int status) { result->set_value(status); };
  int accepted = qvotk_host::kExitUsage;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (LineWorker* worker = WorkerOf(target.line)) accepted = worker->Submit(request);
  }
  if (accepted != QVO_STATUS_OK) return accepted;
  return answer.get();
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
  if (config_.mqtt.enabled) mqtt_.Publish("gateway/stats", StatsJson());
}

void Gateway::LogStats() const { Log(Level::Info, "stats " + StatsJson()); }

}  // namespace gateway
