/*
 * Test rig for the Wine lane, never shipped: preloaded (LD_PRELOAD) into
 * wine64 so that a pseudo-terminal behaves as a serial port with a
 * null-modem plug, RTS looped back to CTS and DTR to DSR and DCD.
 *
 * Wine carries EscapeCommFunction(SETRTS/CLRRTS), GetCommModemStatus and
 * the modem-line part of SetCommState to the modem-line ioctls, which a
 * pseudo-terminal refuses with ENOTTY. For a terminal that refuses them,
 * and only for one, this answers them from lines kept per device. Every
 * other request, and every device with real modem lines, goes to the
 * system untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

typedef int (*IoctlFunction)(int, unsigned long, ...);

enum { kDevices = 64 };

/* The lines set on each device, by device number: Wine may reach one port
 * through several descriptors. */
static struct {
  dev_t device;
  int lines;
} devices[kDevices];
static int deviceCount;
static pthread_mutex_t devicesLock = PTHREAD_MUTEX_INITIALIZER;

static int* LinesOf(dev_t device) {
  for (int i = 0; i < deviceCount; ++i) {
    if (devices[i].device == device) return &devices[i].lines;
  }
  if (deviceCount == kDevices) return NULL;
  devices[deviceCount].device = device;
  devices[deviceCount].lines = 0;
  return &devices[deviceCount++].lines;
}

/* What the far end of the plug shows: CTS follows RTS, DSR and DCD follow
 * DTR. */
static int Looped(int lines) {
  int looped = lines & (TIOCM_RTS | TIOCM_DTR);
  if (lines & TIOCM_RTS) looped |= TIOCM_CTS;
  if (lines & TIOCM_DTR) looped |= TIOCM_DSR | TIOCM_CAR;
  return looped;
}

static int AnswerModemRequest(int fd, unsigned long request, int* argument) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return -1;
  pthread_mutex_lock(&devicesLock);
  int* lines = LinesOf(status.st_rdev);
  int result = -1;
  if (lines != NULL) {
    result = 0;
    switch (request) {
      case TIOCMGET: *argument = Looped(*lines); break;
      case TIOCMSET: *lines = *argument & (TIOCM_RTS | TIOCM_DTR); break;
      case TIOCMBIS: *lines |= *argument & (TIOCM_RTS | TIOCM_DTR); break;
      case TIOCMBIC: *lines &= ~(*argument & (TIOCM_RTS | TIOCM_DTR)); break;
      default: result = -1; break;
    }
  }
  pthread_mutex_unlock(&devicesLock);
  return result;
}

int ioctl(int fd, unsigned long request, ...) {
  static IoctlFunction system_ioctl;
  if (system_ioctl == NULL) system_ioctl = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  const int result = system_ioctl(fd, request, argument);
  const int isModemRequest =
      request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
  if (result == 0 || !isModemRequest || errno != ENOTTY || !isatty(fd)) return result;
  if (AnswerModemRequest(fd, request, (int*)argument) != 0) {
    errno = ENOTTY;
    return -1;
  }
  return 0;
}
