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
                       LineEvents* events)
    : config_(config), line_(line), entry_(entry), events_(events) {}

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

void LineWorker::Start() {
  channel_ = std::make_unique<HostChannel>(entry_);
  Schedule(line_);
  thread_ = std::thread([this] { Run(); });
}

void LineWorker::RequestStop() {
  const std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  wake_.notify_all();
}

bool LineWorker::WaitStopped(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stoppedSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
}

void LineWorker::Update(const Config& config, const LineConfig& line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  config_ = config;
  line_ = line;
  Schedule(line);
  wake_.notify_all();
}

// The stations and points to poll, each point due now. Called with the
// lock held, or before the thread starts.
void LineWorker::Schedule(const LineConfig& line) {
  std::vector<PolledStation> stations;
  const int64_t now = NowUs();
  for (const StationConfig& config : line.stations) {
    PolledStation station;
    station.config = config;
    for (const PolledStation& old : stations_) {
      if (old.config.address == config.address) {
        station.online = old.online;
        station.failuresInARow = old.failuresInARow;
        station.retryAtUs = old.retryAtUs;
      }
    }
    for (const PointConfig& pointConfig : config.points) {
      PolledPoint point;
      point.config = pointConfig;
      point.nextDueUs = now;
      station.points.push_back(point);
    }
    stations.push_back(std::move(station));
  }
  stations_ = std::move(stations);
}

bool LineWorker::OpenChannel() {
  if (open_) return true;
  const std::string capture = CaptureFileOf(line_.port);
  if (!capture.empty() && capture_ == nullptr) {
    capture_ = std::make_unique<line_watch::CaptureFollower>(capture);
    std::string ignored;
    capture_->SkipToEnd(&ignored);
  }
  const QvoStatus status = channel_->Open(OptionsOf(line_));
  if (status != QVO_STATUS_OK) {
    Log(Level::Error, "line " + line_.name + ": cannot open " + line_.port + "; trying again in " +
                          std::to_string(config_.retryOfflineS) + " s");
    return false;
  }
  Log(Level::Info,
      "line " + line_.name + ": " + line_.port + " open at " + std::to_string(line_.baud) + " baud");
  open_ = true;
  return true;
}

size_t LineWorker::TakeAttempts() {
  if (capture_ == nullptr) return 0;
  std::vector<line_watch::LineRecord> records;
  std::string error;
  if (!capture_->ReadNew(&records, &error)) return 0;
  const size_t attempts = line_watch::AttemptsOf(records).size();
  // Kept small: no request is under way on this line now.
  std::error_code failed;
  const std::string path = CaptureFileOf(line_.port);
  if (std::filesystem::file_size(path, failed) > kLongestCaptureBytes) {
    std::filesystem::resize_file(path, 24, failed);
    capture_ = std::make_unique<line_watch::CaptureFollower>(path);
    capture_->SkipToEnd(&error);
  }
  return attempts;
}

int LineWorker::Submit(WriteRequest request) {
  const std::lock_guard<std::mutex> lock(mutex_);
  bool known = false;
  for (const PolledStation& station : stations_) {
    for (const PolledPoint& point : station.points) {
      known = known || (station.config.address == request.station && point.config.name == request.point &&
                        point.config.name != "block");
    }
  }
  if (!known) return qvotk_host::kExitUsage;
  // What the driver would refuse is refused before the line is used.
  if (!qvotk_host::TakesValue(request.point == "S", request.value)) {
    return QVO_STATUS_REJECTED;
  }
  writes_.push_back(std::move(request));
  wake_.notify_all();
  return QVO_STATUS_OK;
}

int LineWorker::NoteResult(PolledStation* station, int status) {
  if (status != QVO_STATUS_NO_ANSWER) {
    station->failuresInARow = 0;
    if (station->online) return 0;
    station->online = true;
    return 1;
  }
  ++station->failuresInARow;
  int change = 0;
  if (station->online && station->failuresInARow >= config_.offlineAfterFailures) {
    station->online = false;
    change = -1;
  }
  if (!station->online) station->retryAtUs = NowUs() + int64_t{config_.retryOfflineS} * 1000000;
  return change;
}

void LineWorker::TellState(int address, int change) {
  if (change == 0) return;
  const std::string station = "line " + line_.name + ": station " + std::to_string(address);
  if (change > 0) {
    Log(Level::Info, station + " online");
  } else {
    Log(Level::Warning, station + " offline after " + std::to_string(config_.offlineAfterFailures) +
                            " failed requests in a row; tried again every " +
                            std::to_string(config_.retryOfflineS) + " s");
  }
  events_->OnStationState(line_.name, address, change > 0);
}

void LineWorker::Poll(PolledStation* station, PolledPoint* point) {
  channel_->SetStationAddress(static_cast<uint16_t>(station->config.address));
  PointReading reading;
  const auto started = std::chrono::steady_clock::now();
  if (point->config.name == "block") {
    reading.status = channel_->ReadBlock(point->config.blockCount, &reading.values);
  } else {
    uint16_t value = 0;
    reading.status = channel_->Read(point->point, &value);
    if (reading.status == QVO_STATUS_OK) reading.values = {value};
  }
  reading.latencyMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  reading.timeUs = UnixMicroseconds();
  reading.attempts = TakeAttempts();
  const int change = NoteResult(station, reading.status);
  events_->OnReading(line_.name, station->config.address, point->config.name, reading);
  TellState(station->config.address, change);
}

void LineWorker::RunWrite(const WriteRequest& request) {
  Point point;
  int status = channel_->Validate(request.point, &point);
  if (status == QVO_STATUS_OK) {
    channel_->SetStationAddress(static_cast<uint16_t>(request.station));
    status = channel_->Write(point, request.value);
    TakeAttempts();
  }
  int change = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (PolledStation& station : stations_) {
      if (station.config.address != request.station) continue;
      change = NoteResult(&station, status);
      // The value written is read back at once.
      for (PolledPoint& polled : station.points) {
        if (polled.config.name == request.point) polled.nextDueUs = 0;
      }
    }
  }
  TellState(request.station, change);
  Log(Level::Info, "line " + line_.name + ": station " + std::to_string(request.station) + " " +
                       request.point + " := " + std::to_string(request.value) + ", status " +
                       std::to_string(status));
  if (request.done) request.done(status);
}

void LineWorker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!open_) {
      lock.unlock();
      const bool opened = OpenChannel();
      lock.lock();
      if (!opened) {
        wake_.wait_for(lock, std::chrono::seconds(config_.retryOfflineS), [this] { return stop_; });
        continue;
      }
      for (PolledStation& station : stations_) {
        for (PolledPoint& point : station.points) {
          if (point.config.name != "block") channel_->Validate(point.config.name, &point.point);
        }
      }
    }
    if (!writes_.empty()) {
      WriteRequest request = std::move(writes_.front());
      writes_.pop_front();
      lock.unlock();
      RunWrite(request);
      lock.lock();
      continue;
    }
    // The point due first, of the stations online or due for a retry.
    const int64_t now = NowUs();
    PolledStation* dueStation = nullptr;
    PolledPoint* duePoint = nullptr;
    int64_t due = INT64_MAX;
    for (PolledStation& station : stations_) {
      if (!station.online) {
        if (station.retryAtUs < due) {
          due = station.retryAtUs;
          dueStation = &station;
          duePoint = &station.points.front();
        }
        continue;
      }
      for (PolledPoint& point : station.points) {
        if (point.nextDueUs < due) {
          due = point.nextDueUs;
          dueStation = &station;
          duePoint = &point;
        }
      }
    }
    if (dueStation == nullptr || due > now) {
      const auto wait =
          dueStation == nullptr ? std::chrono::microseconds(1000000) : std::chrono::microseconds(due - now);
      wake_.wait_for(lock, wait);
      continue;
    }
    // The next turn counts from when this one was due, so that the
    // intervals hold however long a request takes.
    duePoint->nextDueUs = std::max(due + int64_t{duePoint->config.intervalMs} * 1000, now);
    PolledStation station = *dueStation;
    PolledPoint point = *duePoint;
    const int address = station.config.address;
    lock.unlock();
    Poll(&station, &point);
    lock.lock();
    for (PolledStation& kept : stations_) {
      if (kept.config.address != address) continue;
      kept.online = station.online;
      kept.failuresInARow = station.failuresInARow;
      kept.retryAtUs = station.retryAtUs;
    }
  }
  if (open_) channel_->Close();
  open_ = false;
  stopped_ = true;
  stoppedSignal_.notify_all();
}

}  // namespace gateway
