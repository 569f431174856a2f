#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host/capture_file.h"

bool SysCaptureFileName(char* name, uint32_t capacity) {
  const char* value = getenv(kCaptureVariable);
  if (value == nullptr || value[0] == '\0') return false;
  const size_t length = std::strlen(value);
  if (length >= capacity) return false;
  std::memcpy(name, value, length + 1);
  return true;
}

CaptureFile SysOpenCaptureFile(const char* name) {
  const int fd = open(name, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return kNoCaptureFile;
  struct stat about;
  if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
    close(fd);
    return kNoCaptureFile;
  }
  return fd;
}

bool SysReadCaptureStart(CaptureFile file, uint8_t* bytes, uint32_t capacity, uint32_t* length) {
  ssize_t got;
  do {
    got = pread(static_cast<int>(file), bytes, capacity, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  *length = static_cast<uint32_t>(got);
  return true;
}

bool SysAppendCapture(CaptureFile file, const void* bytes, uint32_t count) {
  ssize_t written;
  do {
    written = write(static_cast<int>(file), bytes, count);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(count);
}

void SysCloseCaptureFile(CaptureFile file) { close(static_cast<int>(file)); }

int64_t SysWallClockMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}
