#include "platform/serial/posix_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace posix_calls {

int Open(const char* path, int flags) { return ::open(path, flags); }
int Close(int fd) { return ::close(fd); }
int Lock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB); }
int GetAttributes(int fd, termios* settings) { return ::tcgetattr(fd, settings); }
int SetAttributes(int fd, const termios* settings) { return ::tcsetattr(fd, TCSANOW, settings); }
int Control(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
ssize_t Read(int fd, void* buffer, size_t count) { return ::read(fd, buffer, count); }
ssize_t Write(int fd, const void* bytes, size_t count) { return ::write(fd, bytes, count); }
int Poll(pollfd* watch, int timeoutMs) { return ::poll(watch, 1, timeoutMs); }
int Pause(const timespec* length) { return ::nanosleep(length, nullptr); }

}  // namespace posix_calls
