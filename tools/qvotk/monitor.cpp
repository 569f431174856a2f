// qvotk monitor: a passive listener on a tap of the bus (a second adapter
// wired to it, or tovek-sim's --mirror). It opens the port for reading
// only and sends nothing; it pairs each request with the reply that
// follows it and prints one line an exchange (and one for the line's echo
// of a request, which is no reply), and a summary per station when it ends.
#include <chrono>
#include <map>

#include "commands.h"
#include "line_watch/capture_file.h"
#include "line_watch/frames.h"
#include "monitor_lines.h"
#include "output.h"
#include "stop_signals.h"

#if !defined(_WIN32)
#include "common/termios_speed.h"
#endif

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

using line_watch::Command;
using line_watch::Frame;
using line_watch::FrameMeaning;

namespace {

struct MonitorOptions {
  std::string capture;         // also write what it hears to this capture
  int noAnswerAfterMs = 2000;  // a request with no reply by then was not answered
};

// Times from one clock: the steady one, read as each read returns, shown as
// the wall-clock time it stood for when the monitor began. Lines never go
// back in time, whatever the wall clock does meanwhile.
class MonitorClock {
 public:
  int64_t Now() const {
    return wallAtStart_ + std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - steadyAtStart_)
                              .count();
  }

 private:
  std::chrono::steady_clock::time_point steadyAtStart_ = std::chrono::steady_clock::now();
  int64_t wallAtStart_ = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
};

class Monitor {
 public:
  Monitor(bool json, line_watch::CaptureWriter* capture, int noAnswerAfterMs, int baud)
      : json_(json),
        capture_(capture),
        noAnswerAfterUs_(int64_t{noAnswerAfterMs} * 1000),
        characterUs_(kBitsPerCharacter * 1000000 / (baud < 0 ? 2400 : baud)) {}

  void Hear(const std::string& bytes, int64_t now) {
    std::vector<Frame> frames;
    splitter_.Feed(bytes, now, &frames);
    for (const Frame& frame : frames) Take(frame);
    if (capture_ != nullptr) capture_->Flush();
  }

  // A request whose reply is overdue was not answered; a block reply the
  // master did not ask again for at once was taken.
  void Tick(int64_t now) {
    if (held_.waiting && now - held_.at > RetryWindowUs(held_.request.text)) Release(false);
    if (asked_ && now - askedAt_ > noAnswerAfterUs_) Unanswered(now);
  }

  void Summary(int64_t now) {
    if (held_.waiting) Release(false);
    if (asked_) Unanswered(now);
    PrintStationSummary(tallies_, json_);
  }

 private:
  // A start bit, 8 data bits, a parity bit at most and a stop bit.
  static constexpr int64_t kBitsPerCharacter = 11;

  // How soon after a frame the line carries what that frame caused at once:
  // the echo of a request, or the retry of a master that did not take a
  // reply: the frame's own time on the wire at the tap's rate, and 10 ms.
  // A retry after a time-out, or a poll's next request, comes later.
  int64_t RetryWindowUs(const std::string& frame) const {
    return static_cast<int64_t>(frame.size()) * characterUs_ + 10000;
  }

  // The echo of the waiting request: its frame again, once, as soon as the
  // line can carry it (later, the same frame is the master's retry); or its
  // beginning, cut off, which no master sends.
  bool IsEcho(const Frame& frame) const {
    if (!asked_ || echoed_ || frame.noise || frame.text.empty()) return false;
    if (request_.text.compare(0, frame.text.size(), frame.text) != 0) return false;
    return !frame.framed || frame.microseconds - askedAt_ <= RetryWindowUs(request_.text);
  }

  void Take(const Frame& frame) {
    if (held_.waiting) Release(SameBlockRequestAgain(frame));
    const int station = asked_ ? request_.station : -1;
    if (IsEcho(frame)) {
      echoed_ = true;
      ++tallies_[station].echoes;
      Record(line_watch::LineEvent::Received, frame);
      Tell(frame.microseconds, station, nullptr, "echo");
      return;
    }
    if (frame.noise) {
      tallies_[station].noiseBytes += frame.text.size();
      Record(line_watch::LineEvent::Received, frame);
      return;
    }
    if (!frame.framed) {
      ++tallies_[station].unframed;
      Record(line_watch::LineEvent::Received, frame);
      Tell(frame.microseconds, station, nullptr, "unframed", -1, &frame.text);
      return;
    }
    // While a block request waits, a reply may read as a request; the same
    // request again is the master's retry.
    const bool blockAwaited = asked_ && request_.command == Command::Block && frame.text != request_.text;
    if (line_watch::IsRequest(frame.text) && !blockAwaited) {
      if (asked_) Unanswered(frame.microseconds);
      Record(line_watch::LineEvent::Sent, frame);
      request_ = line_watch::ReadFrame(frame.text, true);
      asked_ = true;
      echoed_ = false;
      askedAt_ = frame.microseconds;
      return;
    }
    Record(line_watch::LineEvent::Received, frame);
    const FrameMeaning reply =
        line_watch::ReadFrame(frame.text, false, asked_ ? request_.command : Command::None);
    if (!asked_) {
      Tell(frame.microseconds, reply.station, &reply, "reply without a request");
      return;
    }
    StationTally& tally = tallies_[request_.station];
    ++tally.exchanges;
    const double latencyMs = static_cast<double>(frame.microseconds - askedAt_) / 1000;
    tally.latenciesMs.push_back(latencyMs);
    if (!reply.checksumOk) {
      ++tally.badChecksum;
      Tell(frame.microseconds, request_.station, &reply, "bad checksum", latencyMs);
    } else if (reply.status != 0 && reply.status != '0') {
      Tell(frame.microseconds, request_.station, &reply, "refused", latencyMs);
    } else if (reply.command == Command::Block) {
      JudgeBlock(frame, reply, latencyMs);
    } else {
      Tell(frame.microseconds, request_.station, &reply, "ok", latencyMs);
    }
    asked_ = false;
  }

  // A block request carries no count, so a block reply proves itself only
  // by what the master does next: asked again at once, it was refused. A
  // count other than the one the master took from the station before is
  // suspect too, until the master has taken it twice in a row.
  void JudgeBlock(const Frame& frame, const FrameMeaning& reply, double latencyMs) {
    held_ = {true, frame.microseconds, latencyMs, request_, reply};
  }

  bool SameBlockRequestAgain(const Frame& frame) const {
    return frame.framed && frame.text == held_.request.text &&
           frame.microseconds - held_.at <= RetryWindowUs(frame.text);
  }

  // The held block reply's line, once the master's next move is known.
  void Release(bool askedAgain) {
    held_.waiting = false;
    const int station = held_.request.station;
    const size_t count = held_.reply.values.size();
    const auto taken = takenBlockCount_.find(station);
    const bool otherCount = taken != takenBlockCount_.end() && taken->second != count;
    const auto seenOnce = newBlockCount_.find(station);
    if (!askedAgain && !otherCount) {
      takenBlockCount_[station] = count;
    } else if (!askedAgain && seenOnce != newBlockCount_.end() && seenOnce->second == count) {
      takenBlockCount_[station] = count;  // taken twice: the master asks for another count now
    } else if (!askedAgain) {
      newBlockCount_[station] = count;
    }
    const bool suspect = askedAgain || otherCount;
    if (suspect) ++tallies_[station].suspect;
    PrintHeard({held_.at, station, &held_.request, &held_.reply, suspect ? "suspect" : "ok", held_.latencyMs,
                nullptr},
               json_);
  }

  // Said when it is known: at the next request, or once the reply is overdue.
  void Unanswered(int64_t now) {
    StationTally& tally = tallies_[request_.station];
    ++tally.exchanges;
    ++tally.noAnswer;
    Tell(now, request_.station, nullptr, "no answer");
    asked_ = false;
  }

  void Record(line_watch::LineEvent event, const Frame& frame) {
    if (capture_ == nullptr) return;
    line_watch::LineRecord record;
    record.microseconds = frame.microseconds;
    record.event = event;
    record.bytes = frame.text;
    capture_->Write(record);
  }

  // A line for what was heard; `request` is the one waiting, if one is.
  void Tell(int64_t at, int station, const FrameMeaning* reply, const char* verdict, double latencyMs = -1,
            const std::string* bytes = nullptr) const {
    PrintHeard({at, station, asked_ ? &request_ : nullptr, reply, verdict, latencyMs, bytes}, json_);
  }

  // A block reply whose verdict waits for the master's next move.
  struct HeldBlockReply {
    bool waiting = false;
    int64_t at = 0;
    double latencyMs = -1;
    FrameMeaning request, reply;
  };

  bool json_;
  line_watch::CaptureWriter* capture_;
  int64_t noAnswerAfterUs_;
  int64_t characterUs_;
  line_watch::FrameSplitter splitter_;
  bool asked_ = false;
  bool echoed_ = false;
  FrameMeaning request_;
  int64_t askedAt_ = 0;
  HeldBlockReply held_;
  std::map<int, size_t> takenBlockCount_;  // per station, the block count its master took
  std::map<int, size_t> newBlockCount_;    // per station, another count the master took once
  std::map<int, StationTally> tallies_;
};

#if !defined(_WIN32)
// The port, for reading only: raw, at the line's rate, without what it
// held before the monitor came.
int OpenTap(const std::string& port, int baud, std::string* error) {
  const std::string path = port[0] == '/' ? port : qvotk_host::kDeviceFolder + port;
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + " for listening: " + std::strerror(errno);
    return -1;
  }
  termios tio;
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    const speed_t speed = TermiosSpeed(baud < 0 ? 2400u : static_cast<unsigned>(baud));
    if (speed != B0) {
      cfsetispeed(&tio, speed);
      cfsetospeed(&tio, speed);
    }
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIFLUSH);
  }
  return fd;
}
#endif

int RunMonitor(const CommonOptions& options, const MonitorOptions& monitorOptions) {
  Result refused;
  if (!CheckPortName(options, &refused)) {
    Print(refused, options.json);
    return refused.status;
  }
#if defined(_WIN32)
  (void)monitorOptions;
  Print(Failure(kExitUsage, "monitor listens on POSIX serial ports only"), options.json);
  return kExitUsage;
#else
  line_watch::CaptureWriter capture;
  std::string error;
  if (!monitorOptions.capture.empty() && !capture.Open(monitorOptions.capture, &error)) {
    Print(Failure(kExitUsage, "--capture: " + error), options.json);
    return kExitUsage;
  }
  const int fd = OpenTap(options.port, options.baud, &error);
  if (fd < 0) {
    Print(Failure(QVO_STATUS_NO_ANSWER, error), options.json);
    return QVO_STATUS_NO_ANSWER;
  }
  if (!options.json) {
    std::fprintf(stderr, "listening on %s, sending nothing; Ctrl-C ends with a summary per station\n",
                 options.port.c_str());
  }
  Monitor monitor(options.json, monitorOptions.capture.empty() ? nullptr : &capture,
                  monitorOptions.noAnswerAfterMs, options.baud);
  const MonitorClock clock;
  char buffer[4096];
  while (StopSignal() == 0) {
    pollfd watch = {fd, POLLIN, 0};
    const int ready = poll(&watch, 1, 100);
    const int64_t now = clock.Now();
    if (ready > 0) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        monitor.Hear(std::string(buffer, static_cast<size_t>(n)), now);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        usleep(20000);  // a pseudo-terminal whose other side is not there yet
      }
    }
    monitor.Tick(now);
  }
  close(fd);
  monitor.Summary(clock.Now());
  return ExitStatusAfter(StopSignal());
#endif
}

}  // namespace

int MonitorCommand(CommandLine& line) {
  MonitorOptions monitor;
  CommonOptions& options = line.options();
  CLI::App& command = line.app();
  command.add_option("-p,--port", options.port, "The tap's port: ttyUSB1, pts/4, or any path");
  command.add_option("-b,--baud", options.baud, "Baud rate of the line (2400)")
      ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
  command.add_option("--capture", monitor.capture,
                     "Also write what it hears to this capture file (pcap, as QVOTK_CAPTURE)");
  command
      .add_option("--no-answer-ms", monitor.noAnswerAfterMs,
                  "A request with no reply within this many ms was not answered (2000)")
      ->check(CLI::Range(1, 3600000));
  if (!line.Parse()) return line.status();
  return RunMonitor(options, monitor);
}
