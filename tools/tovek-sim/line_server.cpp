#include "line_server.h"

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "trace_text.h"

int64_t MonotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

LineServer::LineServer(int fd, sim::ControllerBus& bus, unsigned baud, std::FILE* trace)
    : fd_(fd),
      bus_(bus),
      characterNs_(baud ? 10LL * 1000000000 / baud : 0),  // 10 bits a character
      trace_(trace),
      started_(MonotonicNanoseconds()) {}

void LineServer::Trace(int64_t at, const std::string& line) {
  if (trace_ == nullptr) return;
  // Later lines never go before earlier ones.
  auto it = traceQueue_.end();
  while (it != traceQueue_.begin() && std::prev(it)->first > at) --it;
  traceQueue_.insert(it, {at, line});
  TellTraceDue(MonotonicNanoseconds());
}

void LineServer::TellTraceDue(int64_t now) {
  while (!traceQueue_.empty() && traceQueue_.front().first <= now) {
    const auto& [at, line] = traceQueue_.front();
    std::fprintf(trace_, "[%10.3f ms] %s\n", static_cast<double>(at - started_) / 1e6, line.c_str());
    traceQueue_.pop_front();
  }
  std::fflush(trace_);
}

void LineServer::SetTick(int64_t periodNs, std::function<void()> tick) {
  tickPeriodNs_ = periodNs;
  tick_ = std::move(tick);
  nextTick_ = MonotonicNanoseconds() + periodNs;
}

void LineServer::Run(const volatile sig_atomic_t& stop) {
  while (!stop) {
    const int64_t now = MonotonicNanoseconds();
    WriteDue(now);
    if (trace_ != nullptr) TellTraceDue(now);
    if (tick_ && now >= nextTick_) {
      tick_();
      nextTick_ += tickPeriodNs_;
    }
    int64_t due = NextDue();
    if (tick_ && (due < 0 || nextTick_ < due)) due = nextTick_;
    if (!traceQueue_.empty() && (due < 0 || traceQueue_.front().first < due)) due = traceQueue_.front().first;
    // Sleep to the next character's moment exactly (ppoll's timeout is in
    // nanoseconds), or at most 100 ms while nothing is due.
    const int64_t waitNs = due < 0 ? 100000000 : std::clamp<int64_t>(due - now, 0, 100000000);
    const timespec timeout = {static_cast<time_t>(waitNs / 1000000000),
                              static_cast<long>(waitNs % 1000000000)};
    pollfd watch = {fd_, POLLIN, 0};
    const int ready = ppoll(&watch, 1, &timeout, nullptr);
    if (ready <= 0) continue;
    char buffer[1024];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      Receive(buffer, static_cast<size_t>(n), MonotonicNanoseconds());
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      // No driver holds the line (a pseudo-terminal without its other side).
      const timespec pause = {0, 20000000};
      nanosleep(&pause, nullptr);
    }
  }
  if (trace_ != nullptr) TellTraceDue(INT64_MAX);
}

void LineServer::Mirror(const char* bytes, size_t size) {
  if (mirrorFd_ < 0) return;
  // Non-blocking: a tap nobody reads must not hold the line up.
  if (write(mirrorFd_, bytes, size) < 0) return;
}

void LineServer::Replay(const std::string& bytes, int64_t arrived) {
  std::vector<line_watch::Frame> frames;
  replaySplitter_.Feed(bytes, arrived / 1000, &frames);
  for (const line_watch::Frame& frame : frames) {
    if (!frame.framed) continue;
    const int64_t requestEnd =
        std::max(arrived, frameStart_ + characterNs_ * static_cast<int64_t>(frame.text.size()));
    frameStart_ = -1;
    Trace(requestEnd, "<- " + PrintableFrame(frame.text));
    bool known = false;
    sim::BusExchange exchange;
    exchange.request = frame.text;
    exchange.pieces = replay_->Answer(frame.text, &known);
    if (!known) {
      Trace(requestEnd, "   not in the capture: no reply");
      continue;
    }
    if (exchange.pieces.empty()) {
      Trace(requestEnd, "   nothing followed it in the capture");
      continue;
    }
    Schedule(exchange, requestEnd);
  }
}

void LineServer::Receive(const char* bytes, size_t size, int64_t arrived) {
  Mirror(bytes, size);
  if (frameStart_ < 0) frameStart_ = arrived;
  if (replay_ != nullptr) {
    Replay(std::string(bytes, size), arrived);
    if (size > 0 && bytes[size - 1] != '\n' && frameStart_ < 0) frameStart_ = arrived;
    return;
  }
  for (const sim::BusExchange& exchange : bus_.Feed(std::string_view(bytes, size))) {
    // On a paced line the request's last character arrives one character
    // time after another from its first.
    const int64_t requestEnd =
        std::max(arrived, frameStart_ + characterNs_ * static_cast<int64_t>(exchange.request.size()));
    frameStart_ = -1;
    Trace(requestEnd, "<- " + PrintableFrame(exchange.request) + "  " + DescribeRequest(exchange.request));
    if (exchange.pieces.empty()) {
      if (exchange.station != 0 || exchange.fault == sim::Fault::NoReply) {
        Trace(requestEnd, "   " + DescribeAnswer(exchange));
      }
      continue;
    }
    Schedule(exchange, requestEnd);
  }
  // Bytes after the last complete frame begin the next one.
  if (size > 0 && bytes[size - 1] != '\n' && frameStart_ < 0) frameStart_ = arrived;
}

void LineServer::Schedule(const sim::BusExchange& exchange, int64_t requestEnd) {
  // The reply is told when its own last character is out, noise on its own.
  size_t lastReplyPiece = 0;
  for (size_t i = 0; i < exchange.pieces.size(); ++i) {
    if (!exchange.pieces[i].isNoise) lastReplyPiece = i;
  }
  int64_t end = requestEnd;
  for (size_t i = 0; i < exchange.pieces.size(); ++i) {
    const sim::LinePiece& piece = exchange.pieces[i];
    Scheduled item;
    // The line carries one character at a time: a piece waits for the
    // previous one to be out.
    item.start = std::max(end + static_cast<int64_t>(piece.gapMicroseconds) * 1000, lineFreeAt_);
    item.bytes = piece.bytes;
    end = item.start + characterNs_ * static_cast<int64_t>(piece.bytes.size());
    lineFreeAt_ = end;
    if (trace_ == nullptr) {
      // Nothing to tell.
    } else if (replay_ != nullptr) {
      item.traceLine = "-> " + PrintableFrame(piece.bytes) + "  replayed";
    } else if (piece.isEcho) {
      item.traceLine = "=> " + PrintableFrame(piece.bytes) + "  echo of the request";
    } else if (piece.isNoise) {
      item.traceLine = "~> " + PrintableFrame(piece.bytes) + "  noise";
    } else if (i == lastReplyPiece) {
      char late[48] = "";
      if (exchange.LateMicroseconds() != 0) {
        std::snprintf(late, sizeof late, " [%.1f ms after the request]",
                      static_cast<double>(exchange.LateMicroseconds()) / 1000);
      }
      item.traceLine = "-> " + PrintableFrame(exchange.reply) + "  " + DescribeAnswer(exchange) + late;
    }
    schedule_.push_back(std::move(item));
  }
}

int64_t LineServer::NextDue() const {
  if (schedule_.empty()) return -1;
  const Scheduled& next = schedule_.front();
  return next.start + characterNs_ * static_cast<int64_t>(next.written + (characterNs_ ? 1 : 0));
}

void LineServer::WriteDue(int64_t now) {
  while (!schedule_.empty()) {
    Scheduled& item = schedule_.front();
    size_t due = item.bytes.size();
    if (characterNs_ != 0) {
      // A character is on the other side once its last bit is.
      const int64_t elapsed = now - item.start;
      due = elapsed < characterNs_ ? 0
                                   : std::min(item.bytes.size(), static_cast<size_t>(elapsed / characterNs_));
    } else if (now < item.start) {
      due = 0;
    }
    while (item.written < due) {
      const ssize_t n = write(fd_, item.bytes.data() + item.written, due - item.written);
      if (n > 0) {
        Mirror(item.bytes.data() + item.written, static_cast<size_t>(n));
        item.written += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd watch = {fd_, POLLOUT, 0};
        poll(&watch, 1, 100);
      } else {
        item.written = item.bytes.size();  // nobody to hear it: dropped, as on a line with no listener
      }
    }
    if (item.written < item.bytes.size()) return;
    if (!item.traceLine.empty()) Trace(MonotonicNanoseconds(), item.traceLine);
    schedule_.pop_front();
  }
}
