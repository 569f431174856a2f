// The serial services on POSIX systems, over termios.
//
// Port names: "NUL" in any case is the null device (/dev/null); "COMn" in any
// case is /dev/ttyS(n-1); a name beginning with "/" is a path; any other name
// is looked up under /dev ("ttyUSB0", "pts/3").
//
// Windows keeps a port's time-outs in the kernel, per handle. Here what a
// port needs beyond its descriptor lives in a fixed pool of port slots: the
// time-outs, the settings to give back at close, and what the device was
// found able to do at open. A handle names its slot and the slot's
// generation, so a handle kept after its port was closed never reaches the
// next port in that slot. Slots are claimed and given back atomically; a
// slot's fields belong to the one port that holds it.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/serial/posix_calls.h"
#include "platform/serial/serial_rate.h"
#include "platform/serial/serial_services.h"

namespace {

// The most ports one process can hold at once.
constexpr uint32_t kPortSlots = 256;
// A handle: the slot's generation above, the slot's number plus 1 in the
// low bits (never 0, and never all ones: kInvalidPort).
constexpr uint32_t kSlotBits = 9;
constexpr uint32_t kGenerationMask = (1u << (32 - kSlotBits)) - 1;
static_assert(kPortSlots < (1u << kSlotBits) - 1);

// How RTS and CTS are reached on a device.
enum class ModemLines : uint8_t {
  Switched,    // the device switches RTS and reports CTS
  LoopedBack,  // a terminal without modem lines (a pseudo-terminal, some adapters): RTS looped to CTS
  None,        // not a terminal (the null device): no line to switch
};

struct PortSlot {
  std::atomic<uint32_t> state;  // generation << 1, and 1 while a port holds the slot
  int fd;
  bool isTerminal;
  CommTimeouts timeouts;
  uint32_t baudRate;  // for the write's deadline
  ModemLines lines;
  bool loopedRts;          // RTS as last set, when looped back to CTS
  bool reportsLineStatus;  // the UART tells when its transmitter is empty
  termios settingsAtOpen;  // given back at close
  bool serialFlagsChanged;
  int serialFlagsAtOpen;  // low-latency mode, given back at close
};

PortSlot g_slots[kPortSlots];

struct PosixLineState {
  termios tio;
  bool refused;       // settings termios cannot express: the system refuses them
  uint32_t baudRate;  // set by number where the termios table has no code
  LineControl dtr;
  LineControl rts;
};
static_assert(sizeof(PosixLineState) <= sizeof(DeviceLineState::bytes));

// Claims a free slot; its number, or kPortSlots when all are held.
uint32_t ClaimSlot(uint32_t* generation) {
  for (uint32_t i = 0; i < kPortSlots; ++i) {
    uint32_t state = g_slots[i].state.load(std::memory_order_acquire);
    if ((state & 1) == 0 &&
        g_slots[i].state.compare_exchange_strong(state, state | 1, std::memory_order_acq_rel)) {
      *generation = state >> 1;
      return i;
    }
  }
  return kPortSlots;
}

void ReleaseSlot(uint32_t index, uint32_t generation) {
  g_slots[index].state.store(((generation + 1) & kGenerationMask) << 1, std::memory_order_release);
}

// The slot of an open port, or null for a handle of no open port.
PortSlot* SlotOf(PortHandle port, uint32_t* index = nullptr, uint32_t* generation = nullptr) {
  const uint32_t slot = (port & ((1u << kSlotBits) - 1)) - 1;
  if (port == kNoPort || port == kInvalidPort || slot >= kPortSlots) return nullptr;
  const uint32_t wanted = ((port >> kSlotBits) << 1) | 1;
  if (g_slots[slot].state.load(std::memory_order_acquire) != wanted) return nullptr;
  if (index != nullptr) *index = slot;
  if (generation != nullptr) *generation = port >> kSlotBits;
  return &g_slots[slot];
}

int64_t NowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Milliseconds for poll from microseconds left: rounded up, and never more
// than an int holds (a longer wait is made of several).
enum class Readiness { Ready, DeadlinePassed, Failed };

// Waits until `fd` is ready for `events` or `deadline` (in NowMicroseconds)
// has passed; with `totalMs` 0 there is no deadline, as a read time-out of 0
// waits for ever. A signal restarts the wait.
Readiness WaitUntil(int fd, short events, uint32_t totalMs, int64_t deadline) {
  for (;;) {
    int waitMs = -1;
    if (totalMs != 0) {
      const int64_t left = deadline - NowMicroseconds();
      if (left <= 0) return Readiness::DeadlinePassed;
      const int64_t ms = (left + 999) / 1000;
      waitMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
    pollfd watch = {fd, events, 0};
    const int ready = posix_calls::Poll(&watch, waitMs);
    if (ready > 0) return Readiness::Ready;
    if (ready < 0 && errno != EINTR) return Readiness::Failed;
  }
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

// The termios code of a rate in the table; B0 for one it lacks.
speed_t SpeedCodeFor(uint32_t baudRate) {
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
    if (rate.baud == baudRate) return rate.speed;
  }
  return B0;
}

bool SetModemLine(int fd, int line, bool on) {
  int bits = line;
  return posix_calls::Control(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// What the device can do, found once at open so that no exchange pays for
// asking again: switchable modem lines, the transmitter-empty report, and a
// low-latency mode (USB adapters otherwise hold each reply for their latency
// timer, 16 ms on common chips).
void LearnDevice(PortSlot* slot) {
  const int fd = slot->fd;
  int bits = 0;
  if (posix_calls::Control(fd, TIOCMGET, &bits) == 0) {
    slot->lines = ModemLines::Switched;
  } else {
    // A terminal that answers ENOTTY or EINVAL has no modem lines; any other
    // failure leaves the lines failing, and reported.
    slot->lines = errno == ENOTTY || errno == EINVAL ? ModemLines::LoopedBack : ModemLines::None;
  }
  unsigned int lineStatus = 0;
  slot->reportsLineStatus = posix_calls::Control(fd, TIOCSERGETLSR, &lineStatus) == 0;

  serial_struct serial;
  if (posix_calls::Control(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
    slot->serialFlagsAtOpen = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    // A device that refuses keeps its latency; the port works either way.
    slot->serialFlagsChanged = posix_calls::Control(fd, TIOCSSERIAL, &serial) == 0;
  }
}

// Gives the device back as it was found: settings, serial flags, and the
// exclusive use.
void RestoreDevice(PortSlot* slot) {
  if (!slot->isTerminal) return;
  // Nothing to do when they fail: the port is being closed either way.
  posix_calls::SetAttributes(slot->fd, &slot->settingsAtOpen);
  if (slot->serialFlagsChanged) {
    serial_struct serial;
    if (posix_calls::Control(slot->fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags = slot->serialFlagsAtOpen;
      posix_calls::Control(slot->fd, TIOCSSERIAL, &serial);
    }
  }
  posix_calls::Control(slot->fd, TIOCNXCL, nullptr);
}

// Waits until the bytes written have left the transmitter, so that RTS can be
// cleared right after: the drain, retried when a signal cuts it short, then
// the transmitter-empty bit where the UART has one, because the drain can
// return with the last character still in the shift register.
void DrainTransmitter(const PortSlot& slot) {
  if (!slot.isTerminal) return;
  while (posix_calls::Control(slot.fd, TCSBRK, reinterpret_cast<void*>(1)) != 0 && errno == EINTR) {
  }
  if (!slot.reportsLineStatus) return;
  // The shift register holds one character: at most one character time
  // (10 bits), polled every 100 us.
  const int64_t characterUs = slot.baudRate ? 10 * 1000000 / slot.baudRate : 0;
  const int64_t polls = characterUs / 100 + 10;
  const timespec pause = {0, 100000};
  for (int64_t i = 0; i < polls; ++i) {
    unsigned int lineStatus = 0;
    if (posix_calls::Control(slot.fd, TIOCSERGETLSR, &lineStatus) != 0 || (lineStatus & TIOCSER_TEMT)) break;
    posix_calls::Pause(&pause);
  }
}

}  // namespace

PortHandle SysOpenDevice(const char* name) {
  char path[64];
  if (!ResolvePortPath(name, path, sizeof path)) return kInvalidPort;
  // Never wait for carrier detect, never become the controlling terminal.
  const int fd = posix_calls::Open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidPort;

  termios settings;
  const bool isTerminal = posix_calls::GetAttributes(fd, &settings) == 0;
  // Exclusive, as a Windows port opened with share mode 0. TIOCEXCL does not
  // stop root; the advisory lock does. The null device admits any opener.
  if (isTerminal && posix_calls::Lock(fd) != 0) {
    posix_calls::Close(fd);
    return kInvalidPort;
  }
  uint32_t generation = 0;
  const uint32_t index = ClaimSlot(&generation);
  if (index == kPortSlots) {
    posix_calls::Close(fd);
    return kInvalidPort;
  }
  PortSlot& slot = g_slots[index];
  slot.fd = fd;
  slot.isTerminal = isTerminal;
  slot.timeouts = CommTimeouts{};
  slot.baudRate = 0;
  slot.lines = ModemLines::None;
  slot.loopedRts = false;
  slot.reportsLineStatus = false;
  slot.serialFlagsChanged = false;
  slot.serialFlagsAtOpen = 0;
  if (isTerminal) {
    slot.settingsAtOpen = settings;
    posix_calls::Control(fd, TIOCEXCL, nullptr);  // the lock above is what counts
    LearnDevice(&slot);
  }
  return (generation << kSlotBits) | (index + 1);
}

bool SysCloseDevice(PortHandle port) {
  uint32_t index = 0, generation = 0;
  PortSlot* slot = SlotOf(port, &index, &generation);
  if (slot == nullptr) return false;
  RestoreDevice(slot);
  const bool closed = posix_calls::Close(slot->fd) == 0;
  ReleaseSlot(index, generation);
  return closed;
}

bool SysReadLineState(PortHandle port, DeviceLineState* state) {
  const PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  PosixLineState line{};
  if (posix_calls::GetAttributes(slot->fd, &line.tio) != 0) return false;
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
  line.baudRate = settings.baudRate;

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
  // A rate the table lacks is set by number once the rest is written; 0
  // would mean "hang up" here.
  const speed_t code = SpeedCodeFor(settings.baudRate);
  if (settings.baudRate == 0) line.refused = true;
  if (code != B0 && (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0)) line.refused = true;

  std::memcpy(state->bytes, &line, sizeof line);
}

bool SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  PosixLineState line;
  std::memcpy(&line, state.bytes, sizeof line);
  if (line.refused) return false;
  const int fd = slot->fd;
  if (posix_calls::SetAttributes(fd, &line.tio) != 0) return false;
  if (SpeedCodeFor(line.baudRate) == B0 && !SetNumericRate(fd, line.baudRate)) return false;
  // The device may round a rate it cannot make exactly; beyond 2% the
  // controller would not understand it. Where the system cannot tell, the
  // rate stands as set.
  uint32_t actual = 0;
  if (ReadActualRate(fd, &actual)) {
    const uint32_t difference = actual > line.baudRate ? actual - line.baudRate : line.baudRate - actual;
    if (difference * 50 > line.baudRate) return false;
  }
  slot->baudRate = line.baudRate;

  // Enabled lines are asserted, disabled ones cleared; the handshake and
  // toggle modes have no termios form and leave the line as it is.
  const bool setDtr = line.dtr == LineControl::Enable || line.dtr == LineControl::Disable;
  const bool setRts = line.rts == LineControl::Enable || line.rts == LineControl::Disable;
  if (slot->lines == ModemLines::Switched) {
    if (setDtr) SetModemLine(fd, TIOCM_DTR, line.dtr == LineControl::Enable);
    if (setRts) SetModemLine(fd, TIOCM_RTS, line.rts == LineControl::Enable);
  } else if (slot->lines == ModemLines::LoopedBack && setRts) {
    slot->loopedRts = line.rts == LineControl::Enable;
  }
  return true;
}

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  const PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  *timeouts = slot->timeouts;
  return true;
}

bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  slot->timeouts = timeouts;
  return true;
}

void SysSetQueueSizes(PortHandle, uint32_t, uint32_t) {
  // The kernel's terminal queues have a fixed size; there is nothing to ask.
}

bool SysCountWaitingInput(PortHandle port, uint32_t* waiting) {
  const PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  int count = 0;
  if (posix_calls::Control(slot->fd, FIONREAD, &count) != 0) return false;
  *waiting = static_cast<uint32_t>(count);
  return true;
}

bool SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
  *received = 0;
  const PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  if (count == 0) return true;

  // One deadline for the whole request, counted down across the pieces
  // that arrive; T = 0 waits for all bytes.
  const uint32_t totalMs = slot->timeouts.readTotalConstant;
  const int64_t deadline = NowMicroseconds() + static_cast<int64_t>(totalMs) * 1000;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*received < count) {
    const Readiness readiness = WaitUntil(slot->fd, POLLIN, totalMs, deadline);
    if (readiness == Readiness::DeadlinePassed) break;
    if (readiness == Readiness::Failed) return false;
    const ssize_t n = posix_calls::Read(slot->fd, bytes + *received, count - *received);
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
  const PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  // A peer that stops reading would hold the write for ever: it gets the
  // frame's time on the wire (10 bits a character) and one read time-out.
  // With a read time-out of 0 everything waits for ever, as on Windows.
  const uint32_t totalMs = slot->timeouts.readTotalConstant;
  const int64_t wireUs = slot->baudRate ? static_cast<int64_t>(count) * 10 * 1000000 / slot->baudRate : 0;
  const int64_t deadline = NowMicroseconds() + wireUs + static_cast<int64_t>(totalMs) * 1000;
  const auto* data = static_cast<const unsigned char*>(bytes);
  while (*written < count) {
    const ssize_t n = posix_calls::Write(slot->fd, data + *written, count - *written);
    if (n > 0) {
      *written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (WaitUntil(slot->fd, POLLOUT, totalMs, deadline) != Readiness::Ready) break;
      continue;
    }
    break;
  }
  if (*written == 0 && count != 0) return false;
  DrainTransmitter(*slot);
  return true;
}

bool SysSetRts(PortHandle port, bool on) {
  PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  switch (slot->lines) {
    case ModemLines::Switched: return SetModemLine(slot->fd, TIOCM_RTS, on);
    case ModemLines::LoopedBack: slot->loopedRts = on; return true;
    case ModemLines::None: return false;
  }
  return false;
}

bool SysReadCts(PortHandle port, bool* ctsOn) {
  const PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  switch (slot->lines) {
    case ModemLines::Switched: {
      int bits = 0;
      if (posix_calls::Control(slot->fd, TIOCMGET, &bits) != 0) return false;
      *ctsOn = (bits & TIOCM_CTS) != 0;
      return true;
    }
    case ModemLines::LoopedBack: *ctsOn = slot->loopedRts; return true;
    case ModemLines::None: return false;
  }
  return false;
}

void SysSleepMilliseconds(uint32_t milliseconds) {
  timespec pause = {static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000};
  while (posix_calls::Pause(&pause) != 0 && errno == EINTR) {
  }
}
