#include "support/termios2_view.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool ReadNumericRate(const char* path, uint32_t* rate) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  termios2 settings;
  const bool read = ioctl(fd, TCGETS2, &settings) == 0;
  close(fd);
  if (read) *rate = settings.c_ospeed;
  return read;
}

bool IsNumericRateRead(unsigned long request) { return request == TCGETS2; }
bool IsNumericRateWrite(unsigned long request) { return request == TCSETS2; }

void SetReportedRate(void* record, uint32_t rate) {
  auto* settings = static_cast<termios2*>(record);
  settings->c_ispeed = rate;
  settings->c_ospeed = rate;
}
