// One worker per line: the line is half duplex, so its requests run one at
// a time on the worker's thread, each point polled at its interval, and
// queued writes taken in order, with a poll that is due between two of
// them, so that writes never stop the polling. A channel holds one station
// as the driver reads it from the station file; the gateway owns the
// channel record as any host does and sets its station address before
// each request, which is how one channel polls every station on its line.
#pragma once

#include <atomic>
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
#include "line_health.h"
#include "line_watch/capture_file.h"
#include "metrics.h"
#include "qvotk_host/host_channel.h"
#include "write_order.h"

namespace gateway {

// What a request found, as it is kept and published.
struct PointReading {
  int status = QVO_STATUS_NO_ANSWER;
  std::vector<uint16_t> values;  // one, or a block's
  int64_t timeUs = 0;            // unix time of the answer
  size_t attempts = 0;           // 0: not known
  double latencyMs = 0;
};

class LineWorker;

// A worker's hold on its port. A worker that a reload replaced keeps the
// port until its request in flight has ended (the driver cannot cancel
// one), and a successor on the same port opens it only once every such
// hold is let go: opening first, it would find the port locked and leave
// the line down for retry_offline_s.
class PortHold {
 public:
  void Release() { released_ = true; }
  bool Released() const { return released_; }

 private:
  std::atomic<bool> released_{false};
};
using PortHolds = std::vector<std::shared_ptr<PortHold>>;

// What the worker tells the rest of the gateway, from its own thread.
class LineEvents {
 public:
  virtual ~LineEvents() = default;
  virtual void OnReading(const LineWorker& from, int station, const std::string& point,
                         const PointReading& reading) = 0;
  virtual void OnStationState(const LineWorker& from, int station, bool online) = 0;
};

class LineWorker {
 public:
  LineWorker(const Config& config, const LineConfig& line, QvoMainFunction entry, LineEvents* events,
             Metrics* metrics);
  ~LineWorker();

  // Starts the worker; it opens its port once each of `before` is let go.
  void Start(PortHolds before = {});
  // Asks the worker to stop, and answers its queued writes "withdrawn"; it
  // closes its channel when no request is in flight. Does not wait for a
  // request: the driver cannot cancel one.
  void RequestStop();
  // Waits at most `ms` for the worker to end; true when it did.
  bool WaitStopped(int ms);

  // New stations and points for the same line, kept from the next request
  // on; a queued write whose point went is answered "withdrawn".
  void Update(const Config& config, const LineConfig& line);
  // The line as it was opened: its name, port and settings.
  const LineConfig& line() const { return line_; }
  // Let go once the worker has stopped and closed its channel.
  std::shared_ptr<PortHold> hold() const { return hold_; }
  // The share of the last health window the line was busy.
  double busyRatio() const { return health_.busyRatio(); }
  // Once the worker has opened its port, or found it cannot and set a
  // time to try again, or waits for a replaced worker to let it go.
  bool settled() const { return settled_.load(); }
  // When the worker last came back to its loop (steady microseconds); it
  // does at least once a second unless a request holds it.
  int64_t lastLoopUs() const { return lastLoopUs_.load(); }

  // Queues a write, or answers it at once: a point the line does not poll
  // (or a block), a read-only point, a value the point refuses, a station
  // marked offline, a full queue. Queued, it is answered when it ends or expires, or when its
  // station goes offline, or the line goes.
  void Submit(std::shared_ptr<WriteOrder> order);

 private:
  struct PolledPoint {
    PointConfig config;
    Point point;           // as the driver validated it
    bool checked = false;  // `point` validated, on the worker's thread
    int64_t nextDueUs = 0;
  };
  struct PolledStation {
    StationConfig config;
    std::vector<PolledPoint> points;
    int failuresInARow = 0;
    bool online = true;
    int64_t retryAtUs = 0;
  };
  // What a reload may change besides the stations.
  struct Limits {
    int offlineAfterFailures = 3;
    int retryOfflineS = 10;
    size_t maxQueuedWrites = 16;
    int healthWindowS = 10;
  };
  using Orders = std::vector<std::shared_ptr<WriteOrder>>;
  // The point due first, of the stations online or due for a retry.
  struct Due {
    PolledStation* station = nullptr;
    PolledPoint* point = nullptr;
    int64_t atUs = INT64_MAX;
  };

  void Run();
  // Called with the lock held.
  Due FirstDue();
  // True once every worker that held the port before this one let it go.
  bool PortLetGo();
  bool OpenChannel();
  // Opens the port, or waits a while for it: true once it is open. Called
  // with the lock held.
  bool OpenOrWait(std::unique_lock<std::mutex>& lock);
  // Cuts the line's capture back to its header, and follows it from there.
  void CutCapture();
  // The line cannot be opened: every station is offline.
  void LineDown(std::unique_lock<std::mutex>& lock);
  void Schedule(const LineConfig& line);
  void Poll(std::unique_lock<std::mutex>& lock, PolledStation* station, PolledPoint* point);
  void RunWrite(WriteOrder& order);
  // A request ended: counted, and toward the line's health.
  void Measure(int station, const std::string& point, int status, double ms, size_t attempts, bool poll);
  // At the end of each health window, logs a change of the line's health;
  // called with the lock held.
  void JudgeHealth();
  PolledStation* StationOf(int address);
  // Counts a request's result against its station; the change of state it
  // makes (+1 online again, -1 offline, 0 none), to be told without the
  // lock. Taking a station offline takes its queued writes into `dropped`.
  int NoteResult(PolledStation* station, int status, Orders* dropped);
  Orders TakeQueued(const std::function<bool(const WriteOrder&)>& which);
  // Why a station went offline after failures; called with the lock held.
  std::string OfflineReason() const;
  void TellState(int address, int change, const std::string& why);
  size_t TakeAttempts();
  static int64_t NowUs();

  const LineConfig line_;
  QvoMainFunction entry_;
  LineEvents* events_;
  Metrics* metrics_;
  LineHealth health_;  // the worker's thread's alone, but for its busy share
  std::unique_ptr<HostChannel> channel_;
  bool open_ = false;
  PortHolds before_;
  const std::shared_ptr<PortHold> hold_ = std::make_shared<PortHold>();
  std::unique_ptr<line_watch::CaptureFollower> capture_;

  std::mutex mutex_;
  std::condition_variable wake_;
  Limits limits_;
  std::deque<std::shared_ptr<WriteOrder>> writes_;
  bool pollOwed_ = false;       // a write ran: a due poll goes before the next
  bool pointsChanged_ = false;  // the health window starts again
  std::vector<PolledStation> stations_;
  bool stop_ = false;
  bool stopped_ = false;
  int64_t reopenAtUs_ = 0;  // the port could not be opened: tried again then
  std::atomic<bool> settled_{false};
  std::atomic<int64_t> lastLoopUs_{0};
  std::condition_variable stoppedSignal_;
  std::thread thread_;
};

// The capture file the driver writes for a port, when the environment's
// QVOTK_CAPTURE pattern asks for one ("" when none).
std::string CaptureFileOf(const std::string& port);

}  // namespace gateway
