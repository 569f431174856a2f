// The serial services on POSIX systems, over termios.
//
// Port names: "NUL" in any case is the null device (/dev/null); "COMn" in any
// case is /dev/ttyS(n-1); a name beginning with "/" is a path; any other name
// is looked up under /dev ("ttyUSB0", "pts/3").
//
// Windows keeps a port's time-outs in the kernel, per handle. Here they live
// in a fixed table indexed by descriptor: each entry belongs to the one port
// open on that descriptor, so channels on different threads share no entry.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/serial/serial_services.h"

namespace {

constexpr int kMaxDescriptors = 4096;

struct alignas(8) PortState {
  bool open;
  CommTimeouts timeouts;
  // A terminal without modem-control lines (a pseudo-terminal) behaves as a
  // line whose RTS is looped back to CTS.
  bool loopedRts;
};

PortState g_ports[kMaxDescriptors];

struct PosixLineState {
  termios tio;
  bool refused;  // settings termios cannot express: the system refuses them
  LineControl dtr;
  LineControl rts;
};
static_assert(sizeof(PosixLineState) <= sizeof(DeviceLineState::bytes));

// Descriptor of an open port, or -1. Handle 0 is "no port" and never
// reaches descriptor 0.
int DescriptorOf(PortHandle port) {
  if (port == kNoPort || port == kInvalidPort || port > static_cast<PortHandle>(kMaxDescriptors)) return -1;
  const int fd = static_cast<int>(port - 1);
  return g_ports[fd].open ? fd : -1;
}

int64_t NowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// The device path for a port name; false when it does not fit.
bool ResolvePortPath(const char* name, char* path, size_t size) {
  int written;
  if (strcasecmp(name, "NUL") == 0) {
    written = snprintf(path, size, "/dev/null");
  } else if (StartsWithIgnoringCase(name, "COM") && name[3] >= '1' && name[3] <= '9' &&
             std::strspn(name + 3, "0123456789") == std::strlen(name + 3) && std::strlen(name + 3) <= 4) {
    written = snprintf(path, size, "/dev/ttyS%d", atoi(name + 3) - 1);
  } else if (name[0] == '/') {
    written = snprintf(path, size, "%s", name);
  } else {
    written = snprintf(path, size, "/dev/%s", name);
  }
  return written > 0 && static_cast<size_t>(written) < size;
}

speed_t SpeedFor(uint32_t baudRate, bool* known) {
  struct Rate {
    uint32_t baud;
    speed_t speed;
  };
  static constexpr Rate kRates[] = {
      {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
      {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
      {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
  };
  for (const Rate& rate : kRates) {
    if (rate.baud == baudRate) {
      *known = true;
      return rate.speed;
    }
  }
  *known = false;
  return B0;
}

bool IsMissingModemLines(int fd) {
  // A terminal that answers ENOTTY or EINVAL to the modem-line requests has
  // no such lines; a device that is not a terminal has no line at all.
  return (errno == ENOTTY || errno == EINVAL) && isatty(fd);
}

bool SetModemLine(int fd, int line, bool on) {
  int bits = line;
  return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

}  // namespace

PortHandle SysOpenDevice(const char* name) {
  char path[64];
  if (!ResolvePortPath(name, path, sizeof path)) return kInvalidPort;
  // Never wait for carrier detect, never become the controlling terminal.
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidPort;
  if (fd >= kMaxDescriptors) {
    close(fd);
    return kInvalidPort;
  }
  if (isatty(fd)) {
    // Exclusive, as a Windows port opened with share mode 0. TIOCEXCL does
    // not stop root; the advisory lock does.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return kInvalidPort;
    }
    ioctl(fd, TIOCEXCL);  // the lock above is what counts; this keeps other users out too
  }
  g_ports[fd] = PortState{true, CommTimeouts{}, false};
  return static_cast<PortHandle>(fd + 1);
}

bool SysCloseDevice(PortHandle port) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  if (isatty(fd)) ioctl(fd, TIOCNXCL);  // let the next opener in
  g_ports[fd].open = false;
  return close(fd) == 0;
}

bool SysReadLineState(PortHandle port, DeviceLineState* state) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  PosixLineState line{};
  if (tcgetattr(fd, &line.tio) != 0) return false;
  std::memcpy(state->bytes, &line, sizeof line);
  return true;
}

void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings) {
  PosixLineState line;
  std::memcpy(&line, state->bytes, sizeof line);
  termios& tio = line.tio;
  line.refused = false;
  line.dtr = settings.dtr;
  line.rts = settings.rts;

  // Raw bytes both ways: no translation of CR or LF, no software flow
  // control, zero bytes delivered. Parity is generated but not checked, so
  // a damaged byte is delivered as received, and no error character
  // replaces it.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | INPCK | IGNPAR);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;

  switch (settings.byteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: line.refused = true;
  }
  switch (settings.parity) {
    case 0: break;
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: line.refused = true;
  }
  switch (settings.stopBits) {
    case 0: break;
    case 2: tio.c_cflag |= CSTOPB; break;
    default: line.refused = true;  // one and a half stop bits have no termios form
  }
  bool known = false;
  const speed_t speed = SpeedFor(settings.baudRate, &known);
  if (!known || cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) line.refused = true;

  std::memcpy(state->bytes, &line, sizeof line);
}

bool SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  PosixLineState line;
  std::memcpy(&line, state.bytes, sizeof line);
  if (line.refused) return false;
  if (tcsetattr(fd, TCSANOW, &line.tio) != 0) return false;

  // Enabled lines are asserted, disabled ones cleared; the handshake and
  // toggle modes have no termios form and leave the line as it is. A
  // terminal without modem lines ignores this; a pseudo-terminal's RTS
  // loops back to CTS.
  if (line.dtr == LineControl::Enable || line.dtr == LineControl::Disable) {
    SetModemLine(fd, TIOCM_DTR, line.dtr == LineControl::Enable);
  }
  if (line.rts == LineControl::Enable || line.rts == LineControl::Disable) {
    const bool on = line.rts == LineControl::Enable;
    if (!SetModemLine(fd, TIOCM_RTS, on)) g_ports[fd].loopedRts = on;
  }
  return true;
}

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  *timeouts = g_ports[fd].timeouts;
  return true;
}

bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  g_ports[fd].timeouts = timeouts;
  return true;
}

void SysSetQueueSizes(PortHandle, uint32_t, uint32_t) {
  // The kernel's terminal queues have a fixed size; there is nothing to ask.
}

bool SysCountWaitingInput(PortHandle port, uint32_t* waiting) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) return false;
  *waiting = static_cast<uint32_t>(count);
  return true;
}

bool SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
  *received = 0;
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  if (count == 0) return true;

  // One deadline for the whole request, counted down across the pieces
  // that arrive; T = 0 waits for all bytes.
  const uint32_t totalMs = g_ports[fd].timeouts.readTotalConstant;
  const int64_t deadline = NowMicroseconds() + static_cast<int64_t>(totalMs) * 1000;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*received < count) {
    int waitMs = -1;
    if (totalMs != 0) {
      const int64_t left = deadline - NowMicroseconds();
      if (left <= 0) break;
      waitMs = static_cast<int>((left + 999) / 1000);
    }
    pollfd watch = {fd, POLLIN, 0};
    const int ready = poll(&watch, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) continue;  // the deadline decides on the next turn
    const ssize_t n = read(fd, bytes + *received, count - *received);
    if (n > 0) {
      *received += static_cast<uint32_t>(n);
    } else if (n == 0) {
      return false;  // readable yet nothing to read: hung up
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;  // EIO when a pseudo-terminal's other side closed
    }
  }
  return true;
}

bool SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written) {
  *written = 0;
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  const auto* data = static_cast<const unsigned char*>(bytes);
  while (*written < count) {
    const ssize_t n = write(fd, data + *written, count - *written);
    if (n > 0) {
      *written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd watch = {fd, POLLOUT, 0};
      poll(&watch, 1, -1);  // writes do not time out
      continue;
    }
    if (*written == 0) return false;
    break;  // a partial write: the count tells
  }
  // Return only once the bytes are on the wire, so that RTS can be cleared
  // right after: tcdrain, then the transmitter-empty bit where the device
  // has one, because tcdrain can return with the last character still in
  // the shift register.
  tcdrain(fd);  // not a terminal (the null device): nothing to drain
  unsigned int lineStatus = 0;
  for (int wait = 0; wait < 1000; ++wait) {
    if (ioctl(fd, TIOCSERGETLSR, &lineStatus) != 0 || (lineStatus & TIOCSER_TEMT)) break;
    const timespec pause = {0, 100000};
    nanosleep(&pause, nullptr);
  }
  return true;
}

bool SysSetRts(PortHandle port, bool on) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  if (SetModemLine(fd, TIOCM_RTS, on)) return true;
  if (!IsMissingModemLines(fd)) return false;
  g_ports[fd].loopedRts = on;
  return true;
}

bool SysReadCts(PortHandle port, bool* ctsOn) {
  const int fd = DescriptorOf(port);
  if (fd < 0) return false;
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) == 0) {
    *ctsOn = (bits & TIOCM_CTS) != 0;
    return true;
  }
  if (!IsMissingModemLines(fd)) return false;
  *ctsOn = g_ports[fd].loopedRts;
  return true;
}

void SysSleepMilliseconds(uint32_t milliseconds) {
  timespec pause = {static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}
