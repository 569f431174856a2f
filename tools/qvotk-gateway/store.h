// The last value of every polled point, and per station what its requests
// cost: what Modbus reads are served from, and what MQTT publishes.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "line_worker.h"

namespace gateway {

struct PointKey {
  std::string line;
  int station = 0;
  std::string point;
  bool operator<(const PointKey& other) const {
    return std::tie(line, station, point) < std::tie(other.line, other.station, other.point);
  }
};

struct StationStats {
  uint64_t requests = 0;
  std::map<int, uint64_t> failuresByStatus;
  uint64_t attempts = 0;
  std::vector<double> latenciesMs;  // the last kKeptLatencies
  uint64_t offlinePeriods = 0;
  bool online = true;
};

class Store {
 public:
  static constexpr size_t kKeptLatencies = 1024;

  // Keeps a reading; true when the value differs from the last one kept.
  bool Put(const PointKey& key, const PointReading& reading);
  // The last good reading of a point; false when none was ever taken.
  bool LastGood(const PointKey& key, PointReading* reading) const;
  void SetOnline(const std::string& line, int station, bool online);

  std::map<PointKey, PointReading> Readings() const;
  std::map<std::pair<std::string, int>, StationStats> Stats() const;

 private:
  mutable std::mutex mutex_;
  std::map<PointKey, PointReading> last_;
  std::map<PointKey, PointReading> lastGood_;
  std::map<std::pair<std::string, int>, StationStats> stats_;
};

}  // namespace gateway
