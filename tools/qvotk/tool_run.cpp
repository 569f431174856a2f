#include "tool_run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "report_filter.h"
#include "stop_signals.h"

namespace {

#if !defined(_WIN32)
std::string RandomCharacters(size_t count) {
  static constexpr char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::mt19937 random(std::random_device{}());
  std::string text;
  for (size_t i = 0; i < count; ++i) text += kCharacters[random() % (sizeof kCharacters - 1)];
  return text;
}
#endif

}  // namespace

static_assert(qvotk_host::kLongestPortName == QVO_PORT_NAME_SIZE - 1, "the channel record's port name");

bool PortNameForDriver(const std::string& given, std::string* port, std::unique_ptr<UndoAtExit>* removeLink,
                       std::string* error) {
  if (qvotk_host::FitPortName(given, port)) return true;
#if defined(_WIN32)
  (void)removeLink;
  *error = "port names hold at most " + std::to_string(qvotk_host::kLongestPortName) + " characters, '" +
           given + "' has " + std::to_string(given.size());
  return false;
#else
  // A link to the path as given, not to its target: a by-id name goes on
  // following its adapter. Eleven characters: "/tmp/qv" and four more.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::string link = "/tmp/qv" + RandomCharacters(4);
    std::error_code failed;
    std::filesystem::create_symlink(given, link, failed);
    if (!failed) {
      *port = link;
      *removeLink = std::make_unique<UndoAtExit>([link] {
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
      });
      return true;
    }
  }
  *error = "cannot make a short link to " + given + " in /tmp";
  return false;
#endif
}

std::string StationFileProblem(const std::string& name, const std::string& text) {
  // The driver reads only the first 100 bytes, and from the first '='.
  const std::string read = text.substr(0, std::min<size_t>(text.size(), 100));
  const size_t equals = read.find('=');
  const size_t lineNumber =
      1 + static_cast<size_t>(std::count(read.begin(), read.begin() + std::min(equals, read.size()), '\n'));
  const size_t lineStart = equals == std::string::npos ? 0 : read.rfind('\n', equals) + 1;
  const std::string line = read.substr(lineStart, read.find('\n', lineStart) - lineStart);
  const std::string where = name + ", line " + std::to_string(lineNumber) + ": '" + line + "'";
  if (equals == std::string::npos)
    return name + " holds no '=' in its first 100 bytes: write STATION=N, N 0-9999";
  size_t i = equals + 1;
  while (i < read.size() && std::isspace(static_cast<unsigned char>(read[i]))) ++i;
  if (i < read.size() && read[i] == '+') ++i;
  const size_t digits = i;
  while (i < read.size() && std::isdigit(static_cast<unsigned char>(read[i]))) ++i;
  if (i == digits) return where + " holds no station address after '=': write STATION=N, N 0-9999";
  if (i - digits > 4 ||
      std::stoi(read.substr(digits, i - digits)) > static_cast<int>(qvotk_host::kMaxStation)) {
    return where + " holds an address outside 0-9999";
  }
  return "";
}

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

bool ToolRun::Start(std::string* error, bool* usage) {
  if (!LoadDriverLibrary(options_.driverPath, options_.programDirectory, &library_, error)) return false;
  host_ = new HostChannel(library_.entry);
  host_->Info(&info_);
  if (!options_.port.empty() && !PortNameForDriver(options_.port, &driverPort_, &removeLink_, error)) {
    if (usage != nullptr) *usage = true;
    return false;
  }
  if (removeLink_ != nullptr) {
    // The driver's reports name the link: people see the port as typed.
    ShowPortAs(driverPort_, options_.port);
    if (options_.verbose) {
      std::fprintf(stderr, "qvotk: %s is opened through the short link %s\n", options_.port.c_str(),
                   driverPort_.c_str());
    }
  }
  if (options_.station >= 0) return WriteStationFile(options_.station, error);
  // The working directory's station file, as a host's: the driver reads it
  // its way; the tool refuses one that would not give what was meant.
  std::ifstream file(StationFileName(), std::ios::binary);
  if (!file) {
    if (!options_.port.empty()) {
      std::fprintf(stderr, "qvotk: no station file %s here, and no --station: station 1 is used\n",
                   StationFileName().c_str());
    }
    return true;
  }
  std::ostringstream text;
  text << file.rdbuf();
  *error = StationFileProblem(StationFileName(), text.str());
  if (!error->empty() && usage != nullptr) *usage = true;
  return error->empty();
}

LineOptions ToolRun::Line() const {
  LineOptions line;
  line.port = driverPort_.empty() ? options_.port : driverPort_;
  line.lineNumber = options_.lineNumber;
  line.timeoutUnits = options_.timeoutUnits;
  line.line = info_.defaultLine;
  if (options_.baud >= 0) line.line.baudRate = static_cast<uint16_t>(options_.baud);
  if (options_.dataBits >= 0) line.line.dataBits = static_cast<uint16_t>(options_.dataBits);
  if (!options_.stopBits.empty()) line.line.stopBits = qvotk_host::StopBitsCode(options_.stopBits.c_str());
  if (!options_.parity.empty())
    line.line.parity = static_cast<uint16_t>(qvotk_host::ParityCode(options_.parity.c_str()));
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

// The capture the driver writes when asked (QVOTK_CAPTURE): the user's, or
// a file of the tool's own, removed however the tool ends.
bool ToolRun::FollowCapture(std::string* error) {
  if (capture_ != nullptr || !options_.countAttempts) return true;
  const char* asked = std::getenv("QVOTK_CAPTURE");
  std::string path;
  if (asked != nullptr && asked[0] != '\0') {
    path = line_watch::CaptureFileFor(asked, Line().port);
  } else {
    std::mt19937 random(static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    path = (std::filesystem::temp_directory_path() / ("qvotk-capture-" + std::to_string(random()) + ".pcap"))
               .string();
    removeCapture_ = std::make_unique<UndoAtExit>([path] {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    });
#if defined(_WIN32)
    _putenv_s("QVOTK_CAPTURE", path.c_str());
#else
    setenv("QVOTK_CAPTURE", path.c_str(), 1);
#endif
  }
  capture_ = std::make_unique<line_watch::CaptureFollower>(path);
  return capture_->SkipToEnd(error);
}

std::vector<line_watch::Attempt> ToolRun::TakeAttempts(const std::string& what) {
  std::vector<line_watch::LineRecord> records;
  std::string error;
  if (capture_ == nullptr || !capture_->ReadNew(&records, &error)) return {};
  std::vector<line_watch::Attempt> attempts = line_watch::AttemptsOf(records);
  if (options_.verbose) {
    for (size_t i = 0; i < attempts.size(); ++i) {
      std::fprintf(stderr, "qvotk: %s, attempt %zu: %s\n", what.c_str(), i + 1,
                   line_watch::DescribeAttempt(attempts[i]).c_str());
    }
  }
  return attempts;
}

bool ToolRun::Open(std::string* error) {
  if (opened_) return true;
  if (!FollowCapture(error)) return false;
  const LineOptions line = Line();
  if (host_->Open(line) != QVO_STATUS_OK) {
    // The driver tells the host why, in its report after "Fail to open".
    *error = "cannot open port '" + options_.port + "': the driver's report says why";
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
  if (station > qvotk_host::kMaxStation) {
    std::snprintf(text, sizeof text,
                  "%s: not sent: the station file %s holds an address outside 0-9999; fix it and open again",
                  what.c_str(), StationFileName().c_str());
  } else if (status == QVO_STATUS_NO_ANSWER) {
    // With --station the station file is the tool's own: the address is
    // what to check, not the file.
    const std::string address = options_.station >= 0
                                    ? "the station address (--station " + std::to_string(station) + ")"
                                    : "the station file " + StationFileName();
    std::snprintf(
        text, sizeof text,
        "%s: %s from station %u on %s after %d attempts: check the wiring, %s and the line settings "
        "(%u baud, %u data bits, parity %s)",
        what.c_str(),
        block ? "no answer, or an answer with another count of values than asked," : "no answer", station,
        options_.port.c_str(), qvotk_host::kMaxAttempts, address.c_str(), line.line.baudRate,
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
  // A request that waited for answers took all its attempts' time-outs.
  const double waited =
      qvotk_host::kMaxAttempts * options_.timeoutUnits * (qvotk_host::kTimeoutUnitMs / 1000.0);
  if (options_.timeoutUnits == 0 || elapsed.count() >= waited / 2) return "";
  return options_.port + " fails at once, without waiting for an answer: the driver's reports say why";
}
