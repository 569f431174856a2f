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
  // The last good reading of a point; false when none was taken since
  // the station was last marked offline.
  bool LastGood(const PointKey& key, PointReading* reading) const;
  void SetOnline(const std::string& line, int station, bool online);
  // True unless the station is marked offline.
  bool Online(const std::string& line, int station) const;
  // A station gone offline at `timeUs`: each of its points' last reading
  // becomes a failed one of that time, and no good value is kept, so that
  // nothing read before the outage is served after it.
  void MarkOffline(const std::string& line, int station, const std::vector<std::string>& points,
                   int64_t timeUs);
  // A line replaced or removed: what was read on it is forgotten, and its
  // stations are taken as online, as a new line's are.
  void ForgetLine(const std::string& line);

  std::map<PointKey, PointReading> Readings() const;
  std::map<std::pair<std::string, int>, StationStats> Stats() const;

 private:
  mutable std::mutex mutex_;
  std::map<PointKey, PointReading> last_;
  std::map<PointKey, PointReading> lastGood_;
  std::map<std::pair<std::string, int>, StationStats> stats_;
};

}  // namespace gateway
