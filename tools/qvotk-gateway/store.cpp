#include "store.h"

namespace gateway {

bool Store::Put(const PointKey& key, const PointReading& reading) {
  const std::lock_guard<std::mutex> lock(mutex_);
  StationStats& stats = stats_[{key.line, key.station}];
  ++stats.requests;
  if (reading.status != QVO_STATUS_OK) ++stats.failuresByStatus[reading.status];
  stats.attempts += reading.attempts;
  if (stats.latenciesMs.size() == kKeptLatencies) stats.latenciesMs.erase(stats.latenciesMs.begin());
  stats.latenciesMs.push_back(reading.latencyMs);
  const auto previous = last_.find(key);
  const bool changed = previous == last_.end() || previous->second.status != reading.status ||
                       previous->second.values != reading.values;
  last_[key] = reading;
  if (reading.status == QVO_STATUS_OK) lastGood_[key] = reading;
  return changed;
}

bool Store::LastGood(const PointKey& key, PointReading* reading) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = lastGood_.find(key);
  if (found == lastGood_.end()) return false;
  *reading = found->second;
  return true;
}

void Store::SetOnline(const std::string& line, int station, bool online) {
  const std::lock_guard<std::mutex> lock(mutex_);
  StationStats& stats = stats_[{line, station}];
  if (stats.online && !online) ++stats.offlinePeriods;
  stats.online = online;
}

std::map<PointKey, PointReading> Store::Readings() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

std::map<std::pair<std::string, int>, StationStats> Store::Stats() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace gateway
