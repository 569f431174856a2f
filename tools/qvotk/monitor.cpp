// qvotk monitor: a passive listener on a tap of the bus (a second adapter
// wired to it, or tovek-sim's --mirror). It opens the port for reading
// only and sends nothing; it pairs each request with the reply that
// follows it and prints one line an exchange, and a summary per station
// when it ends.
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

[[maybe_unused]] int64_t WallMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Monitor {
 public:
  Monitor(bool json, line_watch::CaptureWriter* capture, int noAnswerAfterMs)
      : json_(json), capture_(capture), noAnswerAfterUs_(int64_t{noAnswerAfterMs} * 1000) {}

  void Hear(const std::string& bytes, int64_t now) {
    std::vector<Frame> frames;
    splitter_.Feed(bytes, now, &frames);
    for (const Frame& frame : frames) Take(frame);
    if (capture_ != nullptr) capture_->Flush();
  }

  // A request whose reply is overdue was not answered.
  void Tick(int64_t now) {
    if (asked_ && now - askedAt_ > noAnswerAfterUs_) Unanswered();
  }

  void Summary() {
    if (asked_) Unanswered();
    PrintStationSummary(tallies_, json_);
  }

 private:
  void Take(const Frame& frame) {
    const int station = asked_ ? request_.station : -1;
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
    if (line_watch::IsRequest(frame.text) && !(asked_ && request_.command == Command::Block)) {
      if (asked_) Unanswered();
      Record(line_watch::LineEvent::Sent, frame);
      request_ = line_watch::ReadFrame(frame.text, true);
      asked_ = true;
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
    const char* verdict = "ok";
    if (!reply.checksumOk) {
      ++tally.badChecksum;
      verdict = "bad checksum";
    } else if (reply.status != 0 && reply.status != '0') {
      verdict = "refused";
    }
    Tell(frame.microseconds, request_.station, &reply, verdict, latencyMs);
    asked_ = false;
  }

  void Unanswered() {
    StationTally& tally = tallies_[request_.station];
    ++tally.exchanges;
    ++tally.noAnswer;
    Tell(askedAt_, request_.station, nullptr, "no answer");
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

  bool json_;
  line_watch::CaptureWriter* capture_;
  int64_t noAnswerAfterUs_;
  line_watch::FrameSplitter splitter_;
  bool asked_ = false;
  FrameMeaning request_;
  int64_t askedAt_ = 0;
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
                  monitorOptions.noAnswerAfterMs);
  char buffer[4096];
  while (StopSignal() == 0) {
    pollfd watch = {fd, POLLIN, 0};
    const int ready = poll(&watch, 1, 100);
    const int64_t now = WallMicroseconds();
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
  monitor.Summary();
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
