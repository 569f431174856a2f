#include "line_worker.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "line_watch/attempts.h"
#include "log.h"
#include "qvotk_host/host_facts.h"

namespace gateway {
namespace {

// A capture that a long-running gateway follows is cut back to its header
// once this large, between requests.
constexpr uint64_t kLongestCaptureBytes = 1 << 20;
constexpr uint64_t kCaptureHeaderBytes = 24;
// How often a worker looks whether the worker it replaces let its port go.
constexpr std::chrono::milliseconds kHandoverPollMs{10};

LineOptions OptionsOf(const LineConfig& line) {
  LineOptions options;
  options.port = line.port;
  options.lineNumber = 1;
  options.line.baudRate = static_cast<uint16_t>(line.baud);
  options.line.dataBits = static_cast<uint16_t>(line.dataBits);
  options.line.stopBits = qvotk_host::StopBitsCode(line.stopBits.c_str());
  options.line.parity = static_cast<uint16_t>(qvotk_host::ParityCode(line.parity.c_str()));
  options.timeoutUnits = static_cast<uint32_t>((line.timeoutMs + 9) / 10);
  return options;
}

}  // namespace

std::string CaptureFileOf(const std::string& port) {
  const char* pattern = std::getenv("QVOTK_CAPTURE");
  return pattern != nullptr && pattern[0] != '\0' ? line_watch::CaptureFileFor(pattern, port) : "";
}

LineWorker::LineWorker(const Config& config, const LineConfig& line, QvoMainFunction entry,
                       LineEvents* events, Metrics* metrics)
    : line_(line), entry_(entry), events_(events), metrics_(metrics) {
  limits_ = {config.offlineAfterFailures, config.retryOfflineS, static_cast<size_t>(config.maxQueuedWrites),
             config.healthWindowS};
}

// Destroyed only once stopped: the gateway keeps a worker whose request is
// in flight until it ends, or ends the process first.
LineWorker::~LineWorker() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

int64_t LineWorker::NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void LineWorker::Start(PortHolds before) {
  before_ = std::move(before);
  channel_ = std::make_unique<HostChannel>(entry_);
  Schedule(line_);
  thread_ = std::thread([this] { Run(); });
}

void LineWorker::RequestStop() {
  Orders withdrawn;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    withdrawn.assign(writes_.begin(), writes_.end());
    writes_.clear();
    wake_.notify_all();
  }
  for (const auto& order : withdrawn) order->Drop(WriteEnd::Withdrawn);
}

bool LineWorker::WaitStopped(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stoppedSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
}

void LineWorker::Update(const Config& config, const LineConfig& line) {
  Orders withdrawn;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    limits_ = {config.offlineAfterFailures, config.retryOfflineS, static_cast<size_t>(config.maxQueuedWrites),
               config.healthWindowS};
    Schedule(line);
    pointsChanged_ = true;
    withdrawn = TakeQueued([this](const WriteOrder& order) {
      const PolledStation* station = StationOf(order.station());
      return station == nullptr ||
             std::none_of(station->points.begin(), station->points.end(),
                          [&](const PolledPoint& point) { return point.config.name == order.point(); });
    });
    wake_.notify_all();
  }
  for (const auto& order : withdrawn) order->Drop(WriteEnd::Withdrawn);
}

// The stations and points to poll, each point due now; what the old ones
// knew (a station's state, a point's checked address) is kept. Called with
// the lock held, or before the thread starts.
void LineWorker::Schedule(const LineConfig& line) {
  std::vector<PolledStation> stations;
  const int64_t now = NowUs();
  for (const StationConfig& config : line.stations) {
    PolledStation station;
    station.config = config;
    const PolledStation* old = StationOf(config.address);
    if (old != nullptr) {
      station.online = old->online;
      station.failuresInARow = old->failuresInARow;
      station.retryAtUs = old->retryAtUs;
    }
    for (const PointConfig& pointConfig : config.points) {
      metrics_->Track(line.name, config.address, pointConfig.name);
      PolledPoint point;
      point.config = pointConfig;
      point.nextDueUs = now;
      for (const PolledPoint& kept : old != nullptr ? old->points : std::vector<PolledPoint>{}) {
        if (kept.config.name == pointConfig.name) {
          point.point = kept.point;
          point.checked = kept.checked;
        }
      }
      station.points.push_back(point);
    }
    stations.push_back(std::move(station));
  }
  stations_ = std::move(stations);
}

LineWorker::PolledStation* LineWorker::StationOf(int address) {
  for (PolledStation& station : stations_) {
    if (station.config.address == address) return &station;
  }
  return nullptr;
}

bool LineWorker::PortLetGo() {
  before_.erase(std::remove_if(before_.begin(), before_.end(),
                               [](const std::shared_ptr<PortHold>& hold) { return hold->Released(); }),
                before_.end());
  return before_.empty();
}

bool LineWorker::OpenChannel() {
  if (open_) return true;
  const QvoStatus status = channel_->Open(OptionsOf(line_));
  if (status != QVO_STATUS_OK) return false;
  Log(Level::Info, "line " + line_.name, line_.port + " open at " + std::to_string(line_.baud) + " baud");
  open_ = true;
  // Followed from here on. What the capture held is cut away rather than
  // read (up to a megabyte, parsed, for nothing): the port is this
  // worker's now, so nobody else's request is writing to it.
  if (capture_ == nullptr && !CaptureFileOf(line_.port).empty()) CutCapture();
  return true;
}

void LineWorker::CutCapture() {
  const std::string path = CaptureFileOf(line_.port);
  std::error_code failed;
  if (std::filesystem::file_size(path, failed) > kCaptureHeaderBytes) {
    std::filesystem::resize_file(path, kCaptureHeaderBytes, failed);
  }
  capture_ = std::make_unique<line_watch::CaptureFollower>(path);
  std::string ignored;
  capture_->SkipToEnd(&ignored);
}

void LineWorker::LineDown(std::unique_lock<std::mutex>& lock) {
  Log(Level::Error, "line " + line_.name,
      "cannot open " + line_.port + "; trying again in " + std::to_string(limits_.retryOfflineS) + " s");
  std::vector<int> gone;
  for (PolledStation& station : stations_) {
    if (station.online) gone.push_back(station.config.address);
    station.online = false;
    station.retryAtUs = 0;  // tried as soon as the line opens
  }
  Orders dropped = TakeQueued([](const WriteOrder&) { return true; });
  lock.unlock();
  for (const auto& order : dropped) order->Drop(WriteEnd::Offline);
  for (const int address : gone) TellState(address, -1, "the line is down");
  lock.lock();
}

size_t LineWorker::TakeAttempts() {
  if (capture_ == nullptr) return 0;
  std::vector<line_watch::LineRecord> records;
  std::string error;
  if (!capture_->ReadNew(&records, &error)) return 0;
  const size_t attempts = line_watch::AttemptsOf(records).size();
  // Kept small: no request is under way on this line now.
  std::error_code failed;
  if (std::filesystem::file_size(CaptureFileOf(line_.port), failed) > kLongestCaptureBytes) CutCapture();
  return attempts;
}

void LineWorker::Submit(std::shared_ptr<WriteOrder> order) {
  WriteEnd refused = WriteEnd::Carried;  // Carried: queued
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const PolledStation* station = StationOf(order->station());
    const PolledPoint* polled = nullptr;
    for (size_t i = 0; station != nullptr && i < station->points.size(); ++i) {
      if (station->points[i].config.name == order->point() && order->point() != "block")
        polled = &station->points[i];
    }
    const bool known = polled != nullptr;
    writes_.erase(std::remove_if(writes_.begin(), writes_.end(),
                                 [](const std::shared_ptr<WriteOrder>& queued) { return queued->Settled(); }),
                  writes_.end());
    if (!known) {
      refused = WriteEnd::UnknownPoint;
    } else if (polled->config.readOnly) {
      refused = WriteEnd::ReadOnly;
    } else if (!qvotk_host::TakesValue(order->point() == "S", order->value())) {
      // What the driver would refuse is refused before the line is used.
      refused = WriteEnd::RefusedValue;
    } else if (!station->online) {
      refused = WriteEnd::Offline;
    } else if (stop_) {
      refused = WriteEnd::Withdrawn;
    } else if (writes_.size() >= limits_.maxQueuedWrites) {
      refused = WriteEnd::Busy;
    } else {
      writes_.push_back(order);
      wake_.notify_all();
    }
  }
  if (refused != WriteEnd::Carried) order->Drop(refused);
}

LineWorker::Orders LineWorker::TakeQueued(const std::function<bool(const WriteOrder&)>& which) {
  Orders taken;
  for (auto it = writes_.begin(); it != writes_.end();) {
    if (which(**it)) {
      taken.push_back(std::move(*it));
      it = writes_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

int LineWorker::NoteResult(PolledStation* station, int status, Orders* dropped) {
  if (status != QVO_STATUS_NO_ANSWER) {
    station->failuresInARow = 0;
    if (station->online) return 0;
    station->online = true;
    return 1;
  }
  ++station->failuresInARow;
  int change = 0;
  if (station->online && station->failuresInARow >= limits_.offlineAfterFailures) {
    station->online = false;
    change = -1;
    const int address = station->config.address;
    *dropped = TakeQueued([address](const WriteOrder& order) { return order.station() == address; });
  }
  if (!station->online) station->retryAtUs = NowUs() + int64_t{limits_.retryOfflineS} * 1000000;
  return change;
}

std::string LineWorker::OfflineReason() const {
  return std::to_string(limits_.offlineAfterFailures) + " failed requests in a row; tried again every " +
         std::to_string(limits_.retryOfflineS) + " s";
}

void LineWorker::TellState(int address, int change, const std::string& why) {
  if (change == 0) return;
  const std::string station = "station " + std::to_string(address);
  if (change > 0) {
    Log(Level::Info, "line " + line_.name, station + " online");
  } else {
    Log(Level::Warning, "line " + line_.name, station + " offline: " + why);
  }
  events_->OnStationState(*this, address, change > 0);
}

// Called with the lock held, which it lets go during the request.
void LineWorker::Poll(std::unique_lock<std::mutex>& lock, PolledStation* station, PolledPoint* polled) {
  const int address = station->config.address;
  const PointConfig config = polled->config;
  Point point = polled->point;
  const bool checked = polled->checked;
  const bool online = station->online;
  lock.unlock();
  const bool block = config.name == "block";
  const int validity = checked || block ? QVO_STATUS_OK : channel_->Validate(config.name, &point);
  channel_->SetStationAddress(static_cast<uint16_t>(address));
  PointReading reading;
  const auto started = std::chrono::steady_clock::now();
  if (validity != QVO_STATUS_OK) {
    reading.status = validity;
  } else if (block) {
    reading.status = channel_->ReadBlock(config.blockCount, &reading.values);
  } else {
    uint16_t value = 0;
    reading.status = channel_->Read(point, &value);
    if (reading.status == QVO_STATUS_OK) reading.values = {value};
  }
  reading.latencyMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  reading.timeUs = UnixMicroseconds();
  reading.attempts = TakeAttempts();
  Measure(address, config.name, reading.status, reading.latencyMs, reading.attempts, online);
  lock.lock();
  int change = 0;
  Orders dropped;
  std::string why;
  // A reload may have changed the stations meanwhile.
  if (PolledStation* kept = StationOf(address)) {
    change = NoteResult(kept, reading.status, &dropped);
    why = OfflineReason();
    for (PolledPoint& same : kept->points) {
      if (same.config.name == config.name) {
        same.point = point;
        same.checked = validity == QVO_STATUS_OK;
      }
    }
  }
  lock.unlock();
  for (const auto& order : dropped) order->Drop(WriteEnd::Offline);
  events_->OnReading(*this, address, config.name, reading);
  TellState(address, change, why);
  lock.lock();
}

void LineWorker::RunWrite(WriteOrder& order) {
  Point point;
  int status = channel_->Validate(order.point(), &point);
  if (status == QVO_STATUS_OK) {
    channel_->SetStationAddress(static_cast<uint16_t>(order.station()));
    const auto started = std::chrono::steady_clock::now();
    status = channel_->Write(point, order.value());
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    Measure(order.station(), order.point(), status, ms, TakeAttempts(), false);
  }
  order.Finish(status);
  int change = 0;
  Orders dropped;
  std::string why;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (PolledStation* station = StationOf(order.station())) {
      change = NoteResult(station, status, &dropped);
      why = OfflineReason();
      // The value written is read back at once.
      for (PolledPoint& polled : station->points) {
        if (polled.config.name == order.point()) polled.nextDueUs = 0;
      }
    }
  }
  for (const auto& dropping : dropped) dropping->Drop(WriteEnd::Offline);
  TellState(order.station(), change, why);
  Log(Level::Info, "line " + line_.name,
      "station " + std::to_string(order.station()) + " " + order.point() +
          " := " + std::to_string(order.value()) + ", status " + std::to_string(status));
}

void LineWorker::Measure(int station, const std::string& point, int status, double ms, size_t attempts,
                         bool poll) {
  metrics_->Request(line_.name, station, point, status, ms / 1000, attempts);
  health_.Note(static_cast<int64_t>(ms * 1000), poll);
}

void LineWorker::JudgeHealth() {
  if (pointsChanged_) {
    health_.Restart(NowUs());
    pointsChanged_ = false;
  }
  // Stations offline are tried at their own pace, and said to be offline.
  double wantedPerS = 0;
  size_t points = 0;
  for (const PolledStation& station : stations_) {
    if (!station.online) continue;
    for (const PolledPoint& point : station.points) wantedPerS += 1000.0 / point.config.intervalMs;
    points += station.points.size();
  }
  if (const auto change = health_.Judge(NowUs(), limits_.healthWindowS, wantedPerS, points)) {
    Log(change->level, "line " + line_.name, change->text);
  }
}

LineWorker::Due LineWorker::FirstDue() {
  Due first;
  for (PolledStation& station : stations_) {
    if (!station.online) {
      if (station.retryAtUs < first.atUs) first = {&station, &station.points.front(), station.retryAtUs};
      continue;
    }
    for (PolledPoint& point : station.points) {
      if (point.nextDueUs < first.atUs) first = {&station, &point, point.nextDueUs};
    }
  }
  return first;
}

bool LineWorker::OpenOrWait(std::unique_lock<std::mutex>& lock) {
  if (!PortLetGo()) {
    // Only while a replaced worker finishes its last request.
    settled_.store(true);
    wake_.wait_for(lock, kHandoverPollMs, [this] { return stop_; });
    return false;
  }
  if (NowUs() < reopenAtUs_) {
    // In steps of a second, so that waiting counts as coming back.
    wake_.wait_for(lock, std::chrono::microseconds(std::min<int64_t>(reopenAtUs_ - NowUs(), 1000000)),
                   [this] { return stop_; });
    return false;
  }
  lock.unlock();
  const bool opened = OpenChannel();
  lock.lock();
  settled_.store(true);
  if (!opened) {
    LineDown(lock);
    reopenAtUs_ = NowUs() + int64_t{limits_.retryOfflineS} * 1000000;
    return false;
  }
  health_.Restart(NowUs());
  return true;
}

void LineWorker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lastLoopUs_.store(NowUs());
    if (!open_ && !OpenOrWait(lock)) continue;
    JudgeHealth();
    const int64_t now = NowUs();
    const Due due = FirstDue();
    const bool pollDue = due.station != nullptr && due.atUs <= now;
    if (!writes_.empty() && !(pollOwed_ && pollDue)) {
      const std::shared_ptr<WriteOrder> order = std::move(writes_.front());
      writes_.pop_front();
      lock.unlock();
      const bool started = order->Start();
      if (started) RunWrite(*order);
      lock.lock();
      pollOwed_ = pollOwed_ || started;
      continue;
    }
    if (!pollDue) {
      // At least once a second, for the health window.
      wake_.wait_for(lock, std::chrono::microseconds(std::min<int64_t>(due.atUs - now, 1000000)));
      continue;
    }
    pollOwed_ = false;
    if (due.station->online && now - due.atUs >= int64_t{due.point->config.intervalMs} * 1000) {
      metrics_->LatePoll(line_.name, due.station->config.address, due.point->config.name);
    }
    // The next turn counts from when this one was due, so that the
    // intervals hold however long a request takes.
    due.point->nextDueUs = std::max(due.atUs + int64_t{due.point->config.intervalMs} * 1000, now);
    Poll(lock, due.station, due.point);
  }
  if (open_) channel_->Close();
  open_ = false;
  hold_->Release();
  stopped_ = true;
  stoppedSignal_.notify_all();
}

}  // namespace gateway
