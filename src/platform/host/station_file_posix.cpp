#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/station_file.h"

bool ReadStationFile(const char* name, char* buffer, uint32_t capacity, uint32_t* length) {
  *length = 0;
  // Without blocking: a FIFO of that name would hold the open until a writer
  // came. Only a regular file is a station file.
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat about;
  if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
    close(fd);
    return false;
  }
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
