// The serial services on POSIX systems, over termios.
//
// Port names: "NUL", in capitals only, is the null device (/dev/null);
// "COMn" in any case is /dev/ttyS(n-1); a name beginning with "/" is a path;
// any other name is looked up under /dev ("ttyUSB0", "pts/3").
//
// Windows keeps a port's time-outs in the kernel, per handle. Here what a
// port needs beyond its descriptor lives in a slot of the fixed pool
// (port_slots.h): the time-outs, the settings to give back at close, what
// the device was found able to do at open, and where the marks of damaged
// bytes stand.
//
// RS-485 in the kernel: industrial PCs and many USB adapters key their
// transceiver themselves around each send (TIOCGRS485 reports
// SER_RS485_ENABLED). RTS switched from here would fight the kernel, so
// such a port leaves RTS alone, reads CTS as present (on a line whose CTS
// follows RTS it would never come), and still waits for the transmitter to
// empty before the reply is read. The exchange above goes on as ever.
//
// Damaged bytes: with INPCK and PARMRK the terminal marks a byte received
// with a parity or framing error as \377 \0 byte, a break as \377 \0 \0,
// and doubles a true \377. The reads undo the marking, and give a damaged
// byte as the error character, as a Windows port does with fErrorChar. No
// system call is added for it.
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

#include "platform/serial/line_timing.h"
#include "platform/serial/port_slots.h"
#include "platform/serial/posix_calls.h"
#include "platform/serial/serial_rate.h"
#include "platform/serial/serial_services.h"

namespace {

// How RTS and CTS are reached on a device.
enum class ModemLines : uint8_t {
  Switched,    // the device switches RTS and reports CTS
  LoopedBack,  // a terminal without modem lines (a pseudo-terminal, some adapters): RTS looped to CTS
  None,        // not a terminal (the null device): no line to switch
};

struct PortSlot {
  int fd;  // -1 once the device has gone
  bool isTerminal;
  CommTimeouts timeouts;
  uint32_t characterNs;  // for the write's deadline and the transmitter-empty poll
  ModemLines lines;
  bool loopedRts;          // RTS as last set, when looped back to CTS
  bool kernelKeysRts;      // the kernel's RS-485 mode keys RTS around each send
  bool reportsLineStatus;  // the UART tells when its transmitter is empty
  bool countsLineErrors;   // the device counts overruns (TIOCGICOUNT)
  bool marksDamage;        // INPCK and PARMRK are set: damaged bytes come marked
  uint8_t errorChar;       // what a damaged byte is given as
  uint8_t markState;       // how far into a mark the last read ended
  termios settingsAtOpen;  // given back at close
  bool serialFlagsChanged;
  int serialFlagsAtOpen;  // low-latency mode, given back at close
};

PortSlotClaims g_claims;
PortSlot g_slots[kPortSlots];

// What a handle without a device behind it answers: its device has gone, or
// is not held.
constexpr SysResult kNoDevice = {SysFault::Gone, 0};

// A failure, with the errno that came with it.
SysResult Failure(SysFault fault) { return {fault, static_cast<uint32_t>(errno)}; }

struct PosixLineState {
  termios tio;
  bool refused;       // settings termios cannot express: the system refuses them
  uint32_t baudRate;  // set by number where the termios table has no code
  uint32_t characterNs;
  bool markDamaged;
  uint8_t errorChar;
  LineControl dtr;
  LineControl rts;
};
static_assert(sizeof(PosixLineState) <= sizeof(DeviceLineState::bytes));

// The slot of a held port, or null for a handle of no held port.
PortSlot* SlotOf(PortHandle port) {
  uint32_t index = 0;
  return FindPortSlot(g_claims, port, &index) ? &g_slots[index] : nullptr;
}

// The slot of a held port whose device is there: what every service that
// asks the device needs. Null for a port whose device has gone, which costs
// no system call.
PortSlot* LiveSlotOf(PortHandle port) {
  PortSlot* slot = SlotOf(port);
  return slot != nullptr && slot->fd >= 0 ? slot : nullptr;
}

// The answers of a device that has gone: an unplugged USB adapter (EIO,
// ENXIO, ENODEV), a hung-up line.
bool IsGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// The device has gone: its descriptor is closed at once. Linux keeps a
// ttyUSBn name reserved while a descriptor of it is open, and an adapter
// plugged in again would come back under another name.
void LetGo(PortSlot* slot) {
  posix_calls::Close(slot->fd);  // the device is gone: nothing to give back
  slot->fd = -1;
}

// A failed request's errno, judged: a device that has gone is let go of.
SysResult NoteFailure(PortSlot* slot) {
  const SysResult failure = Failure(IsGone(errno) ? SysFault::Gone : SysFault::Failed);
  if (failure.fault == SysFault::Gone) LetGo(slot);
  return failure;
}

// Why a device would not open, from the open's errno. A device file
// without its device (a serial port the machine does not have) answers
// ENXIO, ENODEV or EIO.
SysResult OpenFailure() {
  switch (errno) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO: return Failure(SysFault::NotFound);
    case EACCES:
    case EPERM:
    case EROFS: return Failure(SysFault::PermissionDenied);
    case EBUSY: return Failure(SysFault::Busy);
    default: return Failure(SysFault::Failed);
  }
}

int64_t NowMicroseconds() { return SysNowMicroseconds(); }

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
  if (IsNullDeviceName(name)) {
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
// asking again: switchable modem lines, the kernel's RS-485 mode, the
// transmitter-empty report, the error counters, and a low-latency mode (USB
// adapters otherwise hold each reply for their latency timer, 16 ms on
// common chips).
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
  // ENOTTY, or any other failure, means the kernel keys nothing.
  serial_rs485 rs485{};
  slot->kernelKeysRts =
      posix_calls::Control(fd, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED);
  unsigned int lineStatus = 0;
  slot->reportsLineStatus = posix_calls::Control(fd, TIOCSERGETLSR, &lineStatus) == 0;
  serial_icounter_struct counts;
  slot->countsLineErrors = posix_calls::Control(fd, TIOCGICOUNT, &counts) == 0;

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
SysResult DrainTransmitter(PortSlot* slot) {
  if (!slot->isTerminal) return kSysDone;
  while (posix_calls::Control(slot->fd, TCSBRK, reinterpret_cast<void*>(1)) != 0) {
    if (errno != EINTR) return NoteFailure(slot);
  }
  if (!slot->reportsLineStatus) return kSysDone;
  // The shift register holds one character: at most one character time,
  // polled every 100 us.
  const int64_t polls = slot->characterNs / 100000 + 10;
  const timespec pause = {0, 100000};
  for (int64_t i = 0; i < polls; ++i) {
    unsigned int lineStatus = 0;
    if (posix_calls::Control(slot->fd, TIOCSERGETLSR, &lineStatus) != 0 || (lineStatus & TIOCSER_TEMT)) break;
    posix_calls::Pause(&pause);
  }
  return kSysDone;
}

}  // namespace

namespace {

// Opens the device `name` exclusively into `slot`: its descriptor, and what
// the device can do.
SysResult OpenInto(PortSlot* slot, const char* name) {
  char path[64];
  if (!ResolvePortPath(name, path, sizeof path)) return {SysFault::NotFound, ENAMETOOLONG};
  // Never wait for carrier detect, never become the controlling terminal.
  const int fd = posix_calls::Open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenFailure();

  termios settings;
  const bool isTerminal = posix_calls::GetAttributes(fd, &settings) == 0;
  // Exclusive, as a Windows port opened with share mode 0. TIOCEXCL does not
  // stop root; the advisory lock does. The null device admits any opener.
  if (isTerminal && posix_calls::Lock(fd) != 0) {
    const SysResult held = Failure(SysFault::Busy);
    posix_calls::Close(fd);
    return held;
  }
  slot->fd = fd;
  slot->isTerminal = isTerminal;
  slot->lines = ModemLines::None;
  slot->loopedRts = slot->kernelKeysRts = false;
  slot->reportsLineStatus = slot->countsLineErrors = slot->serialFlagsChanged = false;
  slot->markState = 0;
  if (isTerminal) {
    slot->settingsAtOpen = settings;
    posix_calls::Control(fd, TIOCEXCL, nullptr);  // the lock above is what counts
    LearnDevice(slot);
  }
  return kSysDone;
}

}  // namespace

const char kSysCodeName[] = "errno";

SysResult SysOpenDevice(const char* name, PortHandle* port) {
  uint32_t index = 0;
  *port = ClaimPortSlot(&g_claims, &index);
  if (*port == kInvalidPort) return {SysFault::Failed, EMFILE};  // every slot held
  g_slots[index] = PortSlot{};
  const SysResult opened = OpenInto(&g_slots[index], name);
  if (!opened.ok()) {
    ReleasePortSlot(&g_claims, *port);
    *port = kInvalidPort;
  }
  return opened;
}

bool SysCloseDevice(PortHandle port) {
  PortSlot* slot = SlotOf(port);
  if (slot == nullptr) return false;
  bool closed = true;
  if (slot->fd >= 0) {
    RestoreDevice(slot);
    closed = posix_calls::Close(slot->fd) == 0;
  }
  ReleasePortSlot(&g_claims, port);
  return closed;
}

bool SysPortSlot(PortHandle port, uint32_t* slot) { return FindPortSlot(g_claims, port, slot); }

bool SysDeviceGone(PortHandle port) {
  const PortSlot* slot = SlotOf(port);
  return slot != nullptr && slot->fd < 0;
}

void SysLetDeviceGo(PortHandle port) {
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return;
  RestoreDevice(slot);
  LetGo(slot);
}

SysResult SysReopenDevice(PortHandle port, const char* name) {
  PortSlot* slot = SlotOf(port);
  if (slot == nullptr || slot->fd >= 0) return {SysFault::Failed, 0};
  return OpenInto(slot, name);  // the descriptor stays -1 when it fails
}

SysResult SysReadLineState(PortHandle port, DeviceLineState* state) {
  const PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return kNoDevice;
  PosixLineState line{};
  if (posix_calls::GetAttributes(slot->fd, &line.tio) != 0) return Failure(SysFault::NotSerial);
  std::memcpy(state->bytes, &line, sizeof line);
  return kSysDone;
}

void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings) {
  PosixLineState line;
  std::memcpy(&line, state->bytes, sizeof line);
  termios& tio = line.tio;
  line.refused = false;
  line.dtr = settings.dtr;
  line.rts = settings.rts;
  line.baudRate = settings.baudRate;
  line.characterNs =
      CharacterNanoseconds(settings.baudRate, settings.byteSize, settings.parity, settings.stopBits);
  line.markDamaged = settings.markDamaged;
  line.errorChar = settings.errorChar;

  // Raw bytes both ways: no translation of CR or LF, no software flow
  // control, zero bytes delivered. Damaged bytes and breaks come marked
  // where asked (the reads undo the marks); else as received.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | INPCK | IGNPAR);
  if (settings.markDamaged) tio.c_iflag |= INPCK | PARMRK;
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

SysResult SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return kNoDevice;
  PosixLineState line;
  std::memcpy(&line, state.bytes, sizeof line);
  constexpr SysResult kRefusedHere = {SysFault::SettingsRefused, 0};
  if (line.refused) return kRefusedHere;
  const int fd = slot->fd;
  if (posix_calls::SetAttributes(fd, &line.tio) != 0) return Failure(SysFault::SettingsRefused);
  if (SpeedCodeFor(line.baudRate) == B0 && !SetNumericRate(fd, line.baudRate))
    return Failure(SysFault::SettingsRefused);
  // The device may round a rate it cannot make exactly; beyond 2% the
  // controller would not understand it. Where the system cannot tell, the
  // rate stands as set.
  uint32_t actual = 0;
  if (ReadActualRate(fd, &actual)) {
    const uint32_t difference = actual > line.baudRate ? actual - line.baudRate : line.baudRate - actual;
    if (difference * 50 > line.baudRate) return kRefusedHere;
  }
  slot->characterNs = line.characterNs;
  slot->marksDamage = line.markDamaged;
  slot->errorChar = line.errorChar;
  slot->markState = 0;

  // Enabled lines are asserted, disabled ones cleared; the handshake and
  // toggle modes have no termios form and leave the line as it is, as does
  // a kernel that keys RTS itself.
  const bool setDtr = line.dtr == LineControl::Enable || line.dtr == LineControl::Disable;
  const bool setRts =
      !slot->kernelKeysRts && (line.rts == LineControl::Enable || line.rts == LineControl::Disable);
  if (slot->lines == ModemLines::Switched) {
    if (setDtr) SetModemLine(fd, TIOCM_DTR, line.dtr == LineControl::Enable);
    if (setRts) SetModemLine(fd, TIOCM_RTS, line.rts == LineControl::Enable);
  } else if (slot->lines == ModemLines::LoopedBack && setRts) {
    slot->loopedRts = line.rts == LineControl::Enable;
  }
  return kSysDone;
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
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return false;
  int count = 0;
  if (posix_calls::Control(slot->fd, FIONREAD, &count) != 0) {
    NoteFailure(slot);
    return false;
  }
  *waiting = static_cast<uint32_t>(count);
  return true;
}

namespace {

// Undoes the terminal's marks in `bytes` (`count` as read), in place; how
// many bytes remain. A mark cut by the end of a read is finished by the
// next.
uint32_t UnmarkInput(PortSlot* slot, unsigned char* bytes, uint32_t count) {
  constexpr unsigned char kMark = 0377;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char c = bytes[i];
    switch (slot->markState) {
      case 0:
        if (c == kMark) {
          slot->markState = 1;
        } else {
          bytes[kept++] = c;
        }
        break;
      case 1:  // after \377: \0 starts a mark; else it is \377 doubled
        slot->markState = c == 0 ? 2 : 0;
        if (c != 0) bytes[kept++] = c;
        break;
      default:  // after \377 \0: the damaged byte (0 for a break)
        slot->markState = 0;
        bytes[kept++] = slot->errorChar;
        break;
    }
  }
  return kept;
}

}  // namespace

SysResult SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received, uint32_t limitMs) {
  *received = 0;
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return kNoDevice;
  if (count == 0) return kSysDone;

  // One deadline for the whole request, counted down across the pieces
  // that arrive; T = 0 waits for all bytes.
  uint32_t totalMs = slot->timeouts.readTotalConstant;
  if (limitMs != kPortReadTimeout && (totalMs == 0 || limitMs < totalMs))
    totalMs = limitMs == 0 ? 1 : limitMs;
  const int64_t deadline = NowMicroseconds() + static_cast<int64_t>(totalMs) * 1000;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*received < count) {
    const Readiness readiness = WaitUntil(slot->fd, POLLIN, totalMs, deadline);
    if (readiness == Readiness::DeadlinePassed) break;
    if (readiness == Readiness::Failed) return Failure(SysFault::Failed);
    const ssize_t n = posix_calls::Read(slot->fd, bytes + *received, count - *received);
    if (n > 0) {
      const auto moved = static_cast<uint32_t>(n);
      *received += slot->marksDamage ? UnmarkInput(slot, bytes + *received, moved) : moved;
    } else if (n == 0) {
      // Readable yet nothing to read: the line hung up (a pseudo-terminal's
      // other side closed, a USB adapter pulled).
      if (!slot->isTerminal) return {SysFault::Failed, 0};
      LetGo(slot);
      return kNoDevice;
    } else if (errno != EAGAIN && errno != EINTR) {
      return NoteFailure(slot);
    }
  }
  return kSysDone;
}

SysResult SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
                   uint32_t* waitingWhenSent) {
  *written = 0;
  *waitingWhenSent = 0;
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return kNoDevice;
  // A peer that stops reading would hold the write for ever: it gets the
  // frame's time on the wire and one read time-out. With a read time-out of
  // 0 everything waits for ever, as on Windows.
  const uint32_t totalMs = slot->timeouts.readTotalConstant;
  const int64_t wireUs = static_cast<int64_t>(count) * slot->characterNs / 1000;
  const int64_t started = NowMicroseconds();
  const int64_t deadline = started + wireUs + static_cast<int64_t>(totalMs) * 1000;
  const auto* data = static_cast<const unsigned char*>(bytes);
  SysResult stopped = {SysFault::Failed, 0};  // why the write stopped short, if it did
  while (*written < count) {
    const ssize_t n = posix_calls::Write(slot->fd, data + *written, count - *written);
    if (n > 0) {
      *written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (WaitUntil(slot->fd, POLLOUT, totalMs, deadline) == Readiness::Ready) continue;
      stopped = {SysFault::Failed, EAGAIN};  // the peer took nothing in time
      break;
    }
    if (n < 0) stopped = NoteFailure(slot);
    break;
  }
  if (slot->fd < 0 || (*written == 0 && count != 0)) return stopped;
  const SysResult drained = DrainTransmitter(slot);
  if (slot->fd < 0) return drained;
  // Where the transmission takes time (a UART), what was waiting before the
  // frame had left is no answer to it.
  if (slot->reportsLineStatus) {
    int waiting = 0;
    if (posix_calls::Control(slot->fd, FIONREAD, &waiting) == 0 && waiting > 0)
      *waitingWhenSent =
          StaleBytes(static_cast<uint32_t>(waiting), NowMicroseconds(), started + wireUs, slot->characterNs);
  }
  return kSysDone;
}

uint32_t SysInputOverruns(PortHandle port) {
  const PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr || !slot->countsLineErrors) return 0;
  serial_icounter_struct counts;
  if (posix_calls::Control(slot->fd, TIOCGICOUNT, &counts) != 0) return 0;
  // The UART's and the kernel buffer's own.
  return static_cast<uint32_t>(counts.overrun + counts.buf_overrun);
}

uint32_t SysCharacterNanoseconds(PortHandle port) {
  const PortSlot* slot = SlotOf(port);
  return slot == nullptr ? 0 : slot->characterNs;
}

int64_t SysNowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool SysSetRts(PortHandle port, bool on) {
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return false;
  if (slot->kernelKeysRts) return true;  // raised for each send, as the exchange asks
  switch (slot->lines) {
    case ModemLines::Switched:
      if (SetModemLine(slot->fd, TIOCM_RTS, on)) return true;
      NoteFailure(slot);
      return false;
    case ModemLines::LoopedBack: slot->loopedRts = on; return true;
    case ModemLines::None: return false;
  }
  return false;
}

bool SysReadCts(PortHandle port, bool* ctsOn) {
  PortSlot* slot = LiveSlotOf(port);
  if (slot == nullptr) return false;
  if (slot->kernelKeysRts) {
    *ctsOn = true;
    return true;
  }
  switch (slot->lines) {
    case ModemLines::Switched: {
      int bits = 0;
      if (posix_calls::Control(slot->fd, TIOCMGET, &bits) != 0) {
        NoteFailure(slot);
        return false;
      }
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
