#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/station_file.h"

bool ReadStationFile(const char* name, char* buffer, uint32_t capacity, uint32_t* length) {
  *length = 0;
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (*length < capacity) {
    const ssize_t n = read(fd, buffer + *length, capacity - *length);
    if (n > 0) {
      *length += static_cast<uint32_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;  // end of file, or an error: what was read counts
    }
  }
  close(fd);
  return true;
}
