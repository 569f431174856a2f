// What the gateway measures, served to Prometheus at /metrics: counters and
// a histogram that the lines and the writes add to as they happen, and the
// gauges of the moment (a line's busy share, the stations online, the
// clients, the broker), asked of the gateway at each scrape. Every name and
// its help text live here.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace prometheus {
class Exposer;
class Registry;
template <typename T>
class Family;
class Counter;
class Histogram;
}  // namespace prometheus

namespace gateway {

// The state of the moment, as a scrape reports it.
struct GaugeReadings {
  std::vector<std::pair<std::string, double>> lineBusy;  // line, share of time busy
  struct Station {
    std::string line;
    int station = 0;
    bool online = true;
  };
  std::vector<Station> stations;
  size_t modbusClients = 0;
  bool mqttConnected = false;
  size_t mqttBuffered = 0;   // kept while the broker is away, or handed to its client: not taken yet
  uint64_t mqttDropped = 0;  // kept ones dropped, the oldest first, past buffer_max_mb
};

class Metrics {
 public:
  Metrics();
  ~Metrics();

  // Serves /metrics on "ADDRESS:PORT" until destroyed; false with the reason.
  bool Serve(const std::string& listen, std::function<GaugeReadings()> gauges, std::string* error);

  // A request on a line: a poll or a write, with the driver's status, its
  // time on the line and the attempts the capture counted (0: not known).
  void Request(const std::string& line, int station, const std::string& point, int status, double seconds,
               size_t attempts);
  // A point polled: its series of late polls starts at 0, as Prometheus's
  // rate() needs.
  void Track(const std::string& line, int station, const std::string& point);
  // A poll that started a whole interval or more after it was due: a turn lost.
  void LatePoll(const std::string& line, int station, const std::string& point);
  // A write's end: `source` "modbus" or "mqtt", `result` a word of WriteResultWord.
  void Write(const std::string& line, int station, const std::string& source, const std::string& result);

 private:
  class Gauges;

  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Counter>* requests_;
  prometheus::Family<prometheus::Counter>* attempts_;
  prometheus::Family<prometheus::Histogram>* durations_;
  prometheus::Family<prometheus::Counter>* late_;
  prometheus::Family<prometheus::Counter>* writes_;
  std::shared_ptr<Gauges> gauges_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace gateway
