// The gateway: a worker per line polling through the driver, the values
// kept, served on Modbus TCP and published on MQTT, and the configuration
// reloaded without dropping lines whose settings did not change.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "line_worker.h"
#include "metrics.h"
#include "modbus_server.h"
#include "mqtt_link.h"
#include "store.h"
#include "write_order.h"

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
  // Answers the queued writes, publishes every station and the gateway
  // offline, closes the idle channels, and returns within about `ms`: a
  // request in flight is not waited for.
  void Stop(int ms);
  // True once every line is opened or set to be tried again.
  bool LinesSettled() const;
  // When the line worker that came back to its loop least recently last
  // did (steady microseconds); a replaced worker finishing its request
  // does not count.
  int64_t OldestLoopUs() const;

  // Per station counters: published on "<prefix>/gateway/stats", and logged.
  std::string StatsJson() const;
  void PublishStats();
  void LogStats() const;

  // LineEvents
  void OnReading(const LineWorker& from, int station, const std::string& point,
                 const PointReading& reading) override;
  void OnStationState(const LineWorker& from, int station, bool online) override;

  // ModbusBackend
  bool Target(int unit, int reg, RegisterTarget* target) override;
  bool Value(const RegisterTarget& target, uint16_t* value) override;
  std::shared_ptr<WriteOrder> Write(const RegisterTarget& target, uint16_t value,
                                    WriteOrder::Clock::time_point deadline,
                                    WriteOrder::Answer answer) override;
  void Refused(const RegisterTarget& target, WriteEnd why) override;

 private:
  void StartLine(const LineConfig& line, PortHolds before = {});
  // Called with the lock held, as every publication of a value is.
  void PublishReading(const PointKey& key, const PointReading& reading);
  // A station's state, kept with its time while the broker is away.
  void PublishStatus(const std::string& line, int station, bool online, int64_t timeUs);
  void PublishAll();
  void OnSet(const std::string& line, int station, const std::string& point, const std::string& payload,
             bool retained);
  // Hands a write to its line's worker, or answers it "withdrawn".
  void Submit(const std::string& line, const std::shared_ptr<WriteOrder>& order);
  // The worker serving `line` now; called with the lock held.
  LineWorker* WorkerOf(const std::string& line);
  // The points of a station as configured; called with the lock held.
  std::vector<std::string> PointsOf(const std::string& line, int station) const;
  // The gauges of the moment, for a scrape.
  GaugeReadings Gauges();

  QvoMainFunction entry_;
  bool mqttEnabled_ = false;
  int writeTimeoutMs_ = 1000;  // of a write through MQTT
  mutable std::mutex mutex_;   // the configuration and the workers
  Config config_;
  std::map<std::string, std::unique_ptr<LineWorker>> workers_;
  // Lines a reload stopped, kept until their request in flight has ended.
  std::vector<std::unique_ptr<LineWorker>> retired_;
  std::map<PointKey, int64_t> lastPublishedUs_;
  std::map<PointKey, int64_t> liveUs_;  // the time of each point's reading last sent live
  std::map<std::pair<std::string, int>, bool> online_;
  std::set<std::string> retainedSetsLogged_;
  Store store_;
  WriteDeadlines deadlines_;
  ModbusServer modbus_;
  MqttLink mqtt_;
  // Last: destroyed first, so that no scrape reads what goes before it.
  Metrics metrics_;
};

}  // namespace gateway
