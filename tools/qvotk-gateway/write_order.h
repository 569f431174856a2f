// One write, from the client that asked for it to the line that carries it
// out, and its answer back. A write is carried out only while its
// requester still waits: it starts only before its deadline and only while
// unanswered, and once answered it never starts. The answer is given
// exactly once, by whoever settles the write first: the line when the
// write ends or is refused, or the deadline. How the requester waits (a
// Modbus client, an MQTT result topic) is the answer function's business.
#pragma once

#include <qvotk/qvotk.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace gateway {

enum class WriteEnd {
  Carried,       // the driver's write ran; `status` is its result
  Expired,       // not started by its deadline
  Offline,       // the station is marked offline
  Busy,          // the line's queue was full
  Withdrawn,     // the line or the point went with a reload, or the gateway stops
  UnknownPoint,  // no such point polled on the line, or a block
  RefusedValue,  // the point does not take the value
  ReadOnly,      // the point, its station or the Modbus server is read-only
  Denied,        // the client's address may not write
};

struct WriteAnswer {
  WriteEnd end = WriteEnd::Expired;
  int status = QVO_STATUS_NO_ANSWER;  // the driver's, when carried
};

// How a write ended, in one word: "written", "refused" (by the controller),
// "no_answer", "expired", "offline", "busy", "withdrawn", "invalid_point",
// "invalid_value", "read_only", "denied".
const char* WriteResultWord(const WriteAnswer& answer);

class WriteOrder {
 public:
  using Clock = std::chrono::steady_clock;
  using Answer = std::function<void(const WriteAnswer&)>;

  WriteOrder(int station, std::string point, uint16_t value, Clock::time_point deadline, Answer answer)
      : station_(station),
        point_(std::move(point)),
        value_(value),
        deadline_(deadline),
        answer_(std::move(answer)) {}

  int station() const { return station_; }
  const std::string& point() const { return point_; }
  uint16_t value() const { return value_; }
  Clock::time_point deadline() const { return deadline_; }

  // The line takes the write up: true when it is to be carried out now.
  // False when it was answered already, or when its deadline has passed
  // (then it is answered "expired" here).
  bool Start();
  // The result of a write that started.
  void Finish(int status);
  // Answers a write that has not started; false, and nothing done, when
  // it has started or was answered.
  bool Drop(WriteEnd why);
  // Started or answered: no longer waiting for the line.
  bool Settled() const;

 private:
  enum class State { Waiting, Started, Answered };
  bool Settle(State from, State to);

  const int station_;
  const std::string point_;
  const uint16_t value_;
  const Clock::time_point deadline_;
  const Answer answer_;
  mutable std::mutex mutex_;
  State state_ = State::Waiting;
};

// Answers each write that has not started by its deadline, at its
// deadline, whatever its line is doing then: one thread for them all.
class WriteDeadlines {
 public:
  WriteDeadlines();
  ~WriteDeadlines();
  void Watch(const std::shared_ptr<WriteOrder>& order);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<WriteOrder::Clock::time_point, std::weak_ptr<WriteOrder>> due_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace gateway
