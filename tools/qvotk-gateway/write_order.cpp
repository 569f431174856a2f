#include "write_order.h"

namespace gateway {

const char* WriteResultWord(const WriteAnswer& answer) {
  switch (answer.end) {
    case WriteEnd::Carried:
      if (answer.status == QVO_STATUS_OK) return "written";
      return answer.status == QVO_STATUS_REJECTED ? "refused" : "no_answer";
    case WriteEnd::Expired: return "expired";
    case WriteEnd::Offline: return "offline";
    case WriteEnd::Busy: return "busy";
    case WriteEnd::Withdrawn: return "withdrawn";
    case WriteEnd::UnknownPoint: return "invalid_point";
    case WriteEnd::RefusedValue: return "invalid_value";
    case WriteEnd::ReadOnly: return "read_only";
    case WriteEnd::Denied: return "denied";
  }
  return "invalid_point";
}

bool WriteOrder::Settle(State from, State to) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != from) return false;
  state_ = to;
  return true;
}

bool WriteOrder::Start() {
  if (Clock::now() >= deadline_) {
    Drop(WriteEnd::Expired);
    return false;
  }
  return Settle(State::Waiting, State::Started);
}

void WriteOrder::Finish(int status) {
  if (Settle(State::Started, State::Answered)) answer_({WriteEnd::Carried, status});
}

bool WriteOrder::Drop(WriteEnd why) {
  if (!Settle(State::Waiting, State::Answered)) return false;
  answer_({why, QVO_STATUS_NO_ANSWER});
  return true;
}

bool WriteOrder::Settled() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return state_ != State::Waiting;
}

WriteDeadlines::WriteDeadlines() : thread_([this] { Run(); }) {}

WriteDeadlines::~WriteDeadlines() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void WriteDeadlines::Watch(const std::shared_ptr<WriteOrder>& order) {
  const std::lock_guard<std::mutex> lock(mutex_);
  due_.emplace(order->deadline(), order);
  wake_.notify_all();
}

void WriteDeadlines::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (due_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto first = due_.begin();
    if (WriteOrder::Clock::now() < first->first) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    const std::shared_ptr<WriteOrder> order = first->second.lock();
    due_.erase(first);
    // Answered outside the lock: the answer may take time of its own.
    lock.unlock();
    if (order != nullptr) order->Drop(WriteEnd::Expired);
    lock.lock();
  }
}

}  // namespace gateway
