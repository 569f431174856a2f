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

bool Store::Online(const std::string& line, int station) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = stats_.find({line, station});
  return found == stats_.end() || found->second.online;
}

void Store::MarkOffline(const std::string& line, int station, const std::vector<std::string>& points,
                        int64_t timeUs) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& point : points) {
    PointReading failed;
    failed.timeUs = timeUs;
    last_[{line, station, point}] = failed;
    lastGood_.erase({line, station, point});
  }
}

void Store::ForgetLine(const std::string& line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto* readings : {&last_, &lastGood_}) {
    for (auto it = readings->begin(); it != readings->end();) {
      it = it->first.line == line ? readings->erase(it) : std::next(it);
    }
  }
  // Its new worker starts with its stations online, as every worker does.
  for (auto& [station, stats] : stats_) {
    if (station.first == line) stats.online = true;
  }
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
