#include "port_diagnosis.h"

#include <cerrno>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

constexpr const char* kTableRates =
    "50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600";

// What is wrong with the line settings themselves, or "".
std::string SettingsProblem(const LineParams& line) {
  if (line.baudRate == 0) return "a baud rate of 0 hangs up the line";
  if (line.dataBits < 5 || line.dataBits > 8)
    return "data bits must be 5 to 8, not " + std::to_string(line.dataBits);
  if (line.stopBits == 1) return "one and a half stop bits cannot be set here: use 1 or 2";
  if (line.stopBits > 2) return "the stop bits code must be 0 (one) or 2 (two)";
  if (line.parity > 4) return "the parity code must be 0 to 4 (none, odd, even, mark, space)";
  return "";
}

}  // namespace

std::string RatesThatWork() {
  return std::string(kTableRates) + " always; any other rate up to 65535 where the device takes it within 2%";
}

#if defined(_WIN32)
std::string DevicePathOf(const std::string& portName) { return portName; }

std::string WhyPortDoesNotOpen(const std::string& portName, const LineParams& line) {
  const std::string settings = SettingsProblem(line);
  if (!settings.empty()) return settings;
  return portName + " does not exist, is held by another program, or refused the line settings";
}

std::string WhyPortFails(const std::string&) { return ""; }
#else
std::string DevicePathOf(const std::string& portName) {
  const char* name = portName.c_str();
  if (strcasecmp(name, "NUL") == 0) return "/dev/null";
  const size_t digits = portName.size() > 3 ? std::strspn(name + 3, "0123456789") : 0;
  if (strncasecmp(name, "COM", 3) == 0 && digits > 0 && digits <= 4 && digits == portName.size() - 3 &&
      name[3] != '0') {
    return "/dev/ttyS" + std::to_string(std::stoi(portName.substr(3)) - 1);
  }
  return name[0] == '/' ? portName : "/dev/" + portName;
}

std::string WhyPortDoesNotOpen(const std::string& portName, const LineParams& line) {
  const std::string path = DevicePathOf(portName);
  struct stat about;
  if (stat(path.c_str(), &about) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(about.st_mode)) return path + " is a directory, not a serial port";
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES) return path + ": permission denied (on most systems the dialout group may open it)";
    if (errno == EBUSY) return path + " is held by another program";
    return path + ": " + std::strerror(errno);
  }
  termios settings;
  const bool terminal = tcgetattr(fd, &settings) == 0;
  const bool held = terminal && flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  if (!terminal)
    return path + " is not a terminal, so not a serial port (only NUL, in capitals, opens the null device)";
  if (held) return path + " is held by another program";
  const std::string settingsProblem = SettingsProblem(line);
  if (!settingsProblem.empty()) return "the line settings: " + settingsProblem;
  return path + " refused the line settings (" + std::to_string(line.baudRate) +
         " baud?): rates that work: " + RatesThatWork();
}

std::string WhyPortFails(const std::string& portName) {
  const std::string path = DevicePathOf(portName);
  if (path == "/dev/null") return portName + " is the null device: no controller answers on it";
  struct stat about;
  if (stat(path.c_str(), &about) != 0) return path + " is gone (unplugged?): " + std::strerror(errno);
  // A terminal whose other side has closed reports a hang-up at once.
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  pollfd watch = {fd, POLLIN, 0};
  const bool hungUp = poll(&watch, 1, 0) > 0 && (watch.revents & POLLHUP);
  close(fd);
  return hungUp ? "the other side of " + path + " has closed: no controller can answer on it" : "";
}
#endif
