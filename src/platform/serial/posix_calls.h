// The system calls the POSIX serial foundation makes, one function each and
// no others, so that a test can count them, or answer one itself where a
// pseudo-terminal cannot show what a serial device does. Production links
// posix_calls.cpp, which makes the calls as they are.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <time.h>

// Declared, not included: the termios2 file of the foundation cannot
// include <termios.h>.
struct termios;

namespace posix_calls {

int Open(const char* path, int flags);
int Close(int fd);
int Lock(int fd);  // flock, exclusive, without waiting
int GetAttributes(int fd, termios* settings);
int SetAttributes(int fd, const termios* settings);          // at once
int Control(int fd, unsigned long request, void* argument);  // ioctl
ssize_t Read(int fd, void* buffer, size_t count);
ssize_t Write(int fd, const void* bytes, size_t count);
int Poll(pollfd* watch, int timeoutMs);
int Pause(const timespec* length);  // nanosleep

}  // namespace posix_calls
