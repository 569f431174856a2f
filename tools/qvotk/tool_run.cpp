#include "tool_run.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "port_diagnosis.h"
#include "stop_signals.h"

namespace {

uint16_t StopBitsCode(const std::string& stopBits) {
  if (stopBits == "1.5") return 1;
  if (stopBits == "2") return 2;
  return 0;
}

}  // namespace

ToolRun::ToolRun(const CommonOptions& options) : options_(options) {}

ToolRun::~ToolRun() {
  Close();
  delete host_;
  if (!stationDirectory_.empty()) {
    std::error_code ignored;
    std::filesystem::current_path(previousDirectory_, ignored);
  }
  removeDirectory_.reset();
}

bool ToolRun::Start(std::string* error) {
  if (!LoadDriverLibrary(options_.driverPath, options_.programDirectory, &library_, error)) return false;
  host_ = new HostChannel(library_.entry);
  host_->Info(&info_);
  return options_.station < 0 || WriteStationFile(options_.station, error);
}

LineOptions ToolRun::Line() const {
  LineOptions line;
  line.port = options_.port;
  line.lineNumber = options_.lineNumber;
  line.timeoutUnits = options_.timeoutUnits;
  line.line = info_.defaultLine;
  if (options_.baud >= 0) line.line.baudRate = static_cast<uint16_t>(options_.baud);
  if (options_.dataBits >= 0) line.line.dataBits = static_cast<uint16_t>(options_.dataBits);
  if (!options_.stopBits.empty()) line.line.stopBits = StopBitsCode(options_.stopBits);
  if (options_.parity >= 0) line.line.parity = static_cast<uint16_t>(options_.parity);
  return line;
}

std::string ToolRun::StationFileName() const {
  char name[32];
  std::snprintf(name, sizeof name, QVO_STATION_FILE_PATTERN, static_cast<int>(options_.lineNumber));
  return name;
}

bool ToolRun::WriteStationFile(int station, std::string* error) {
  if (stationDirectory_.empty()) {
    std::mt19937 random(static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 20 && stationDirectory_.empty(); ++attempt) {
      const auto candidate = base / ("qvotk-" + std::to_string(random()));
      std::error_code failed;
      if (std::filesystem::create_directory(candidate, failed)) stationDirectory_ = candidate.string();
    }
    if (stationDirectory_.empty()) {
      *error = "cannot make a private directory for the station file";
      return false;
    }
    removeDirectory_ = std::make_unique<UndoAtExit>([directory = stationDirectory_] {
      std::error_code ignored;
      std::filesystem::remove_all(directory, ignored);
    });
    previousDirectory_ = std::filesystem::current_path().string();
    std::filesystem::current_path(stationDirectory_);
  }
  std::ofstream(stationDirectory_ + "/" + StationFileName()) << "STATION=" << station << "\n";
  return true;
}

bool ToolRun::Open(std::string* error) {
  if (opened_) return true;
  const LineOptions line = Line();
  if (host_->Open(line) != QVO_STATUS_OK) {
    *error = "cannot open port '" + options_.port + "': " + WhyPortDoesNotOpen(options_.port, line.line);
    return false;
  }
  opened_ = true;
  return true;
}

void ToolRun::Close() {
  if (opened_) host_->Close();
  opened_ = false;
}

std::string ToolRun::Explain(const std::string& what, QvoStatus status, bool block) const {
  const unsigned station = host_->channel().stationAddress;
  const LineOptions line = Line();
  char text[512];
  if (station > 9999) {
    std::snprintf(text, sizeof text,
                  "%s: not sent: the station file %s holds an address outside 0-9999; fix it and open again",
                  what.c_str(), StationFileName().c_str());
  } else if (status == QVO_STATUS_NO_ANSWER) {
    std::snprintf(text, sizeof text,
                  "%s: %s from station %u on %s after 10 attempts: check the wiring, the station file %s "
                  "and the line settings (%u baud, %u data bits, parity %s)",
                  what.c_str(),
                  block ? "no answer, or an answer with another count of values than asked," : "no answer",
                  station, options_.port.c_str(), StationFileName().c_str(), line.line.baudRate,
                  line.line.dataBits, qvotk_host::ParityName(line.line.parity));
  } else {
    std::snprintf(
        text, sizeof text,
        "%s: refused (status 1): the controller at station %u answered with an error, or its reply did "
        "not check out",
        what.c_str(), station);
  }
  return text;
}

std::string ToolRun::PortFailure(std::chrono::duration<double> elapsed) const {
  std::string why = WhyPortFails(options_.port);
  const double timeout = options_.timeoutUnits * 0.01;
  if (why.empty() && options_.timeoutUnits != 0 && elapsed.count() < timeout / 2) {
    why = options_.port + " fails at once: its other side has closed, or the device is gone";
  }
  return why;
}
