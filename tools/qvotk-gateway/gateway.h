// The gateway: a worker per line polling through the driver, the values
// kept, served on Modbus TCP and published on MQTT, and the configuration
// reloaded without dropping lines whose settings did not change.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config.h"
#include "line_worker.h"
#include "modbus_server.h"
#include "mqtt_link.h"
#include "store.h"

namespace gateway {

class Gateway : public LineEvents, public ModbusBackend {
 public:
  explicit Gateway(QvoMainFunction entry) : entry_(entry) {}

  // Starts the lines, the Modbus listener and the MQTT link; false with
  // the reason when the listener cannot be opened.
  bool Start(const Config& config, std::string* error);
  // Takes a new configuration: changed lines start again, the others keep
  // their channel and take the new stations and points.
  void Reload(const Config& config);
  // Publishes the gateway offline, closes the idle channels, and returns
  // within about `ms`: a request in flight is not waited for.
  void Stop(int ms);

  // Per station counters: published on "<prefix>/gateway/stats", and logged.
  std::string StatsJson() const;
  void PublishStats();
  void LogStats() const;

  // LineEvents
  void OnReading(const std::string& line, int station, const std::string& point,
                 const PointReading& reading) override;
  void OnStationState(const std::string& line, int station, bool online) override;

  // ModbusBackend
  bool Target(int unit, int reg, RegisterTarget* target) override;
  bool Value(const RegisterTarget& target, uint16_t* value) override;
  int Write(const RegisterTarget& target, uint16_t value) override;

 private:
  void StartLine(const LineConfig& line);
  void PublishReading(const PointKey& key, const PointReading& reading);
  void PublishAll();
  void OnSet(const std::string& line, int station, const std::string& point, const std::string& payload);
  LineWorker* WorkerOf(const std::string& line);

  QvoMainFunction entry_;
  mutable std::mutex mutex_;  // the configuration and the workers
  Config config_;
  std::map<std::string, std::unique_ptr<LineWorker>> workers_;
  // Lines a reload stopped, kept until their request in flight has ended.
  std::vector<std::unique_ptr<LineWorker>> retired_;
  std::map<PointKey, int64_t> lastPublishedUs_;
  std::map<std::pair<std::string, int>, bool> online_;
  Store store_;
  ModbusServer modbus_;
  MqttLink mqtt_;
};

}  // namespace gateway
