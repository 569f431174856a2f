// A run of the tool against the driver, as a host runs: the library loaded
// through its one export, the working directory its station file is read
// from, and the channel, open for as long as the session holds it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "line_watch/attempts.h"
#include "qvotk_host/host_channel.h"
#include "qvotk_host/host_facts.h"
#include "stop_signals.h"

using qvotk_host::kExitUsage;

// What every command shares: the library and the line.
struct CommonOptions {
  std::string driverPath;
  std::string programDirectory;
  std::string port;
  int32_t lineNumber = 1;
  int baud = -1;  // -1: the driver's default
  int dataBits = -1;
  std::string stopBits;  // "1", "1.5" or "2"; empty: the driver's default
  std::string parity;    // "none", "odd", "even", "mark", "space"; empty: the driver's default
  // 200 ms: the controller's turnaround. The driver adds each reply's time
  // on the wire, so a dead station costs 10 attempts of about this much.
  uint32_t timeoutUnits = 20;
  int station = -1;  // write a station file for this address into a private directory
  bool json = false;
  // The driver's capture of the line, read after each request: to count
  // its attempts, and with `verbose` to show each one's frames.
  bool countAttempts = false;
  bool verbose = false;
};

class ToolRun {
 public:
  explicit ToolRun(const CommonOptions& options);
  ~ToolRun();  // closes the channel, removes the private directory
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;

  // Loads the library, takes the port name as the driver can open it, and
  // makes the private station file or checks the working directory's;
  // false with the reason in `error`, and `usage` set where the user's
  // input is at fault (exit 64).
  bool Start(std::string* error, bool* usage = nullptr);

  // Opens the channel on the options' port; false with the reason.
  bool Open(std::string* error);
  void Close();

  // The read time-out of the next open, in 10 ms units.
  void SetReadTimeout(uint32_t units) { options_.timeoutUnits = units; }

  // Rewrites the station file (a private directory is made if none is).
  bool WriteStationFile(int station, std::string* error);

  HostChannel& host() { return *host_; }
  const HostChannel& host() const { return *host_; }
  const QvoDriverInfo& info() const { return info_; }
  LineOptions Line() const;
  const CommonOptions& options() const { return options_; }
  std::string StationFileName() const;

  // The attempts of the requests made since the last call, as the
  // driver's capture shows them; with --verbose each is told on standard
  // error, under `what`.
  std::vector<line_watch::Attempt> TakeAttempts(const std::string& what);

  // Why a request answered as it did, in one line for people.
  std::string Explain(const std::string& what, QvoStatus status, bool block = false) const;
  // That the port stopped working, when it did: "" while it still might
  // answer. `elapsed` is how long the failed request took: one that fails
  // well within its attempts' time-outs found the port failing at once. The
  // driver's own reports say why.
  std::string PortFailure(std::chrono::duration<double> elapsed) const;

 private:
  CommonOptions options_;
  std::string driverPort_;  // the port's name as the driver opens it
  DriverLibrary library_;
  HostChannel* host_ = nullptr;
  QvoDriverInfo info_{};
  std::string stationDirectory_;
  std::string previousDirectory_;
  std::unique_ptr<UndoAtExit> removeDirectory_;
  std::unique_ptr<UndoAtExit> removeLink_;
  bool opened_ = false;
  bool FollowCapture(std::string* error);
  std::unique_ptr<line_watch::CaptureFollower> capture_;
  std::unique_ptr<UndoAtExit> removeCapture_;
};

// The port name the driver opens for a path as the user gave it: a name
// under /dev without that prefix where the rest holds 11 characters; any
// other path too long for the driver through a short link
// (/tmp/qv and four characters) to the path as given, removed however the
// tool ends. A name that fits goes as it is.
bool PortNameForDriver(const std::string& given, std::string* port, std::unique_ptr<UndoAtExit>* removeLink,
                       std::string* error);

// What a station file's text says, by the driver's own reading (the number
// after its first '='), judged: "" when it holds a station address 0-9999,
// else why not, naming the line of the file.
std::string StationFileProblem(const std::string& name, const std::string& text);

// The status a command exits with when several requests answered: the worst.
inline int Worst(int a, int b) { return a > b ? a : b; }
