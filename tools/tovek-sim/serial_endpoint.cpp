#include "serial_endpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <string_view>

#include "common/termios_speed.h"
#include "qvotk_host/host_facts.h"

namespace {

bool MakeRaw(int fd, unsigned baud) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  const speed_t speed = TermiosSpeed(baud) != B0 ? TermiosSpeed(baud) : TermiosSpeed(kDefaultDeviceBaud);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

bool OpenPseudoTerminal(SerialEndpoint* endpoint, std::string* error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  endpoint->fd = master;
  endpoint->path = ptsname(master);
  // "pts/N": the driver finds it under /dev.
  endpoint->portName = endpoint->path.substr(std::string_view(qvotk_host::kDeviceFolder).size());
  // Raw from the start, so that nothing is echoed before the driver
  // configures the line; the kept descriptor stops hang-ups between drivers.
  endpoint->slaveKeeper = open(endpoint->path.c_str(), O_RDWR | O_NOCTTY);
  if (endpoint->slaveKeeper >= 0) MakeRaw(endpoint->slaveKeeper, kDefaultDeviceBaud);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return true;
}

bool OpenSerialDevice(const std::string& path, unsigned baud, SerialEndpoint* endpoint, std::string* error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = path + " is in use by another program";
    close(fd);
    return false;
  }
  if (!MakeRaw(fd, baud)) {
    *error = path + " is not a serial device";
    close(fd);
    return false;
  }
  endpoint->fd = fd;
  endpoint->path = path;
  endpoint->portName = path;
  return true;
}

void CloseEndpoint(SerialEndpoint* endpoint) {
  if (endpoint->slaveKeeper >= 0) close(endpoint->slaveKeeper);
  if (endpoint->fd >= 0) close(endpoint->fd);
  endpoint->fd = endpoint->slaveKeeper = -1;
}
