// Serves the controller line: reads requests as they arrive, hands them to
// the controllers, and writes each answer's pieces at their moments, one
// character time apart on a paced line and at once on an unpaced one.
#pragma once

#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "line_watch/frames.h"
#include "replay.h"
#include "sim/controller_bus.h"

class LineServer {
 public:
  // `baud` 0: unpaced. `trace`: where each request and answer is told, or null.
  LineServer(int fd, sim::ControllerBus& bus, unsigned baud, std::FILE* trace);

  // Calls `tick` every `periodNs` while serving.
  void SetTick(int64_t periodNs, std::function<void()> tick);

  // Copies both directions to `fd` as they pass, as a tap on the bus
  // hears them; what it cannot take at once is dropped.
  void SetMirror(int fd) { mirrorFd_ = fd; }
  // Answers from a capture instead of the controllers.
  void SetReplay(ReplayAnswers* replay) { replay_ = replay; }

  // Serves until `stop` becomes non-zero.
  void Run(const volatile sig_atomic_t& stop);

 private:
  struct Scheduled {
    int64_t start;  // when the first character goes out (paced: when its last bit has)
    std::string bytes;
    size_t written = 0;
    std::string traceLine;  // told once the last character is out
  };

  void Receive(const char* bytes, size_t size, int64_t arrived);
  void Replay(const std::string& bytes, int64_t arrived);
  void Mirror(const char* bytes, size_t size);
  void Schedule(const sim::BusExchange& exchange, int64_t requestEnd);
  void WriteDue(int64_t now);
  int64_t NextDue() const;  // -1: nothing waiting
  // Trace lines are told in time order: a paced request's line waits for
  // the moment its last character is on the line.
  void Trace(int64_t at, const std::string& line);
  void TellTraceDue(int64_t now);

  int fd_;
  sim::ControllerBus& bus_;
  int64_t characterNs_;
  std::FILE* trace_;
  int64_t started_;
  int64_t frameStart_ = -1;  // arrival of the first character of the frame being received
  int64_t lineFreeAt_ = 0;   // the line is ours to send on from then
  std::deque<Scheduled> schedule_;
  std::deque<std::pair<int64_t, std::string>> traceQueue_;
  int64_t tickPeriodNs_ = 0;
  int64_t nextTick_ = 0;
  std::function<void()> tick_;
  int mirrorFd_ = -1;
  ReplayAnswers* replay_ = nullptr;
  line_watch::FrameSplitter replaySplitter_;
};

int64_t MonotonicNanoseconds();
