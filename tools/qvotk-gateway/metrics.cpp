#include "metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <qvotk/qvotk.h>

namespace gateway {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The driver's status as a label.
std::string StatusLabel(int status) {
  switch (status) {
    case QVO_STATUS_OK: return "ok";
    case QVO_STATUS_REJECTED: return "rejected";
    case QVO_STATUS_NO_ANSWER: return "no_answer";
  }
  return std::to_string(status);
}

MetricFamily Gauge(const std::string& name, const std::string& help) {
  return MetricFamily{name, help, MetricType::Gauge, {}};
}

void Add(MetricFamily* family, std::vector<ClientMetric::Label> labels, double value) {
  ClientMetric metric;
  metric.label = std::move(labels);
  metric.gauge.value = value;
  family->metric.push_back(std::move(metric));
}

}  // namespace

// The gauges, read from the gateway when scraped rather than kept up to
// date on every change.
class Metrics::Gauges : public prometheus::Collectable {
 public:
  explicit Gauges(std::function<GaugeReadings()> read) : read_(std::move(read)) {}

  std::vector<MetricFamily> Collect() const override {
    const GaugeReadings now = read_();
    MetricFamily busy =
        Gauge("qvotk_line_busy_ratio", "Share of the last health window the line spent in requests (0-1)");
    for (const auto& [line, ratio] : now.lineBusy) Add(&busy, {{"line", line}}, ratio);
    MetricFamily online = Gauge("qvotk_station_online", "1 while the station answers, 0 while it is offline");
    for (const auto& station : now.stations) {
      Add(&online, {{"line", station.line}, {"station", std::to_string(station.station)}},
          station.online ? 1 : 0);
    }
    MetricFamily clients = Gauge("qvotk_modbus_clients", "Modbus TCP clients connected");
    Add(&clients, {}, static_cast<double>(now.modbusClients));
    MetricFamily connected = Gauge("qvotk_mqtt_connected", "1 while connected to the MQTT broker");
    Add(&connected, {}, now.mqttConnected ? 1 : 0);
    MetricFamily buffered =
        Gauge("qvotk_mqtt_buffered_values",
              "Values and states the broker has not taken yet: kept on disk while it is away, or in flight");
    Add(&buffered, {}, static_cast<double>(now.mqttBuffered));
    MetricFamily dropped{"qvotk_mqtt_dropped_values_total",
                         "Values and states kept while the broker was away and dropped, the oldest first, to "
                         "stay within buffer_max_mb",
                         MetricType::Counter,
                         {}};
    ClientMetric count;
    count.counter.value = static_cast<double>(now.mqttDropped);
    dropped.metric.push_back(count);
    return {busy, online, clients, connected, buffered, dropped};
  }

 private:
  std::function<GaugeReadings()> read_;
};

Metrics::Metrics() : registry_(std::make_shared<prometheus::Registry>()) {
  requests_ = &prometheus::BuildCounter()
                   .Name("qvotk_requests_total")
                   .Help("Requests on the line, polls and writes, by the driver's status")
                   .Register(*registry_);
  attempts_ = &prometheus::BuildCounter()
                   .Name("qvotk_request_attempts_total")
                   .Help("Attempts the requests took on the wire, as the line's capture counted them")
                   .Register(*registry_);
  durations_ = &prometheus::BuildHistogram()
                    .Name("qvotk_request_duration_seconds")
                    .Help("Time a request held the line, its attempts included")
                    .Register(*registry_);
  late_ = &prometheus::BuildCounter()
               .Name("qvotk_polls_late_total")
               .Help("Polls that started a whole interval or more after they were due: a turn lost")
               .Register(*registry_);
  writes_ = &prometheus::BuildCounter()
                 .Name("qvotk_writes_total")
                 .Help("Writes asked for, by where they came from and how they ended")
                 .Register(*registry_);
}

// The server goes first: no scrape reads the gateway once it is going.
Metrics::~Metrics() { exposer_.reset(); }

bool Metrics::Serve(const std::string& listen, std::function<GaugeReadings()> gauges, std::string* error) {
  gauges_ = std::make_shared<Gauges>(std::move(gauges));
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(listen, 1);
  } catch (const std::exception& e) {
    *error = "metrics: cannot listen on " + listen + ": " + e.what();
    return false;
  }
  exposer_->RegisterCollectable(registry_);
  exposer_->RegisterCollectable(gauges_);
  return true;
}

void Metrics::Request(const std::string& line, int station, const std::string& point, int status,
                      double seconds, size_t attempts) {
  const std::string address = std::to_string(station);
  requests_->Add({{"line", line}, {"station", address}, {"point", point}, {"status", StatusLabel(status)}})
      .Increment();
  if (attempts > 0)
    attempts_->Add({{"line", line}, {"station", address}}).Increment(static_cast<double>(attempts));
  static const prometheus::Histogram::BucketBoundaries kBuckets = {0.005, 0.01, 0.02, 0.05, 0.1, 0.2,
                                                                   0.5,   1,    2,    5,    10};
  durations_->Add({{"line", line}}, kBuckets).Observe(seconds);
}

void Metrics::Track(const std::string& line, int station, const std::string& point) {
  late_->Add({{"line", line}, {"station", std::to_string(station)}, {"point", point}});
}

void Metrics::LatePoll(const std::string& line, int station, const std::string& point) {
  late_->Add({{"line", line}, {"station", std::to_string(station)}, {"point", point}}).Increment();
}

void Metrics::Write(const std::string& line, int station, const std::string& source,
                    const std::string& result) {
  writes_->Add({{"line", line}, {"station", std::to_string(station)}, {"source", source}, {"result", result}})
      .Increment();
}

}  // namespace gateway
