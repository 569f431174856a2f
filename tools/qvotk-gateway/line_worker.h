// One worker per line: the line is half duplex, so its requests run one at
// a time on the worker's thread, writes ahead of polls, each point polled
// at its interval. A channel holds one station as the driver reads it from
// the station file; the gateway owns the channel record as any host does
// and sets its station address before each request, which is how one
// channel polls every station on its line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "line_watch/capture_file.h"
#include "qvotk_host/host_channel.h"

namespace gateway {

// What a request found, as it is kept and published.
struct PointReading {
  int status = QVO_STATUS_NO_ANSWER;
  std::vector<uint16_t> values;  // one, or a block's
  int64_t timeUs = 0;            // unix time of the answer
  size_t attempts = 0;           // 0: not known
  double latencyMs = 0;
};

// What the worker tells the rest of the gateway, from its own thread.
class LineEvents {
 public:
  virtual ~LineEvents() = default;
  virtual void OnReading(const std::string& line, int station, const std::string& point,
                         const PointReading& reading) = 0;
  virtual void OnStationState(const std::string& line, int station, bool online) = 0;
};

struct WriteRequest {
  int station = 0;
  std::string point;
  uint16_t value = 0;
  std::function<void(int status)> done;  // called on the worker's thread
};

class LineWorker {
 public:
  LineWorker(const Config& config, const LineConfig& line, QvoMainFunction entry, LineEvents* events);
  ~LineWorker();

  void Start();
  // Asks the worker to stop; it closes its channel when no request is in
  // flight. Does not wait for a request: the driver cannot cancel one.
  void RequestStop();
  // Waits at most `ms` for the worker to end; true when it did.
  bool WaitStopped(int ms);

  // New stations and points for the same line, kept from the next request on.
  void Update(const Config& config, const LineConfig& line);
  const LineConfig& line() const { return line_; }

  // Queues a write ahead of the polls. A value the point refuses, or a
  // point the line does not poll, is refused at once (`done` not called):
  // 64 for an unknown point, 1 for a refused value.
  int Submit(WriteRequest request);

 private:
  struct PolledPoint {
    PointConfig config;
    Point point;  // as the driver validated it
    int64_t nextDueUs = 0;
  };
  struct PolledStation {
    StationConfig config;
    std::vector<PolledPoint> points;
    int failuresInARow = 0;
    bool online = true;
    int64_t retryAtUs = 0;
  };

  void Run();
  bool OpenChannel();
  void Schedule(const LineConfig& line);
  void Poll(PolledStation* station, PolledPoint* point);
  void RunWrite(const WriteRequest& request);
  // Counts a request's result against its station; the change of state it
  // makes (+1 online again, -1 offline, 0 none), to be told without the lock.
  int NoteResult(PolledStation* station, int status);
  void TellState(int address, int change);
  size_t TakeAttempts();
  static int64_t NowUs();

  Config config_;
  LineConfig line_;
  QvoMainFunction entry_;
  LineEvents* events_;
  std::unique_ptr<HostChannel> channel_;
  bool open_ = false;
  std::unique_ptr<line_watch::CaptureFollower> capture_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WriteRequest> writes_;
  std::vector<PolledStation> stations_;
  bool stop_ = false;
  bool stopped_ = false;
  std::condition_variable stoppedSignal_;
  std::thread thread_;
};

// The capture file the driver writes for a port, when the environment's
// QVOTK_CAPTURE pattern asks for one ("" when none).
std::string CaptureFileOf(const std::string& port);

}  // namespace gateway
