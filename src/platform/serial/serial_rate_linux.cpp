#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "platform/serial/posix_calls.h"
#include "platform/serial/serial_rate.h"

bool SetNumericRate(int fd, uint32_t rate) {
  termios2 settings;
  if (posix_calls::Control(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = rate;
  settings.c_ospeed = rate;
  return posix_calls::Control(fd, TCSETS2, &settings) == 0;
}

bool ReadActualRate(int fd, uint32_t* rate) {
  termios2 settings;
  if (posix_calls::Control(fd, TCGETS2, &settings) != 0) return false;
  *rate = settings.c_ospeed;
  return true;
}
