// The POSIX foundation's system calls for the test binaries: the calls as
// they are, counted, with open, ioctl and poll open to a test's own answer.
#include "support/posix_calls_seen.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/serial/posix_calls.h"

namespace posix_calls_seen {
namespace {

std::atomic<uint64_t> g_counts[static_cast<int>(Call::Count)];
OpenAnswer g_open;
ControlAnswer g_control;
PollAnswer g_poll;

void Seen(Call call) { g_counts[static_cast<int>(call)].fetch_add(1, std::memory_order_relaxed); }

}  // namespace

uint64_t Calls(Call call) { return g_counts[static_cast<int>(call)].load(); }

uint64_t AllCalls() {
  uint64_t all = 0;
  for (const auto& count : g_counts) all += count.load();
  return all;
}

void AnswerOpen(OpenAnswer answer) { g_open = std::move(answer); }
void AnswerControl(ControlAnswer answer) { g_control = std::move(answer); }
void AnswerPoll(PollAnswer answer) { g_poll = std::move(answer); }

void Reset() {
  g_open = nullptr;
  g_control = nullptr;
  g_poll = nullptr;
}

}  // namespace posix_calls_seen

namespace posix_calls {

using posix_calls_seen::Call;
using posix_calls_seen::Seen;

int Open(const char* path, int flags) {
  Seen(Call::Open);
  int result = 0;
  if (posix_calls_seen::g_open && posix_calls_seen::g_open(path, flags, &result)) return result;
  return ::open(path, flags);
}
int Close(int fd) {
  Seen(Call::Close);
  return ::close(fd);
}
int Lock(int fd) {
  Seen(Call::Lock);
  return ::flock(fd, LOCK_EX | LOCK_NB);
}
int GetAttributes(int fd, termios* settings) {
  Seen(Call::GetAttributes);
  return ::tcgetattr(fd, settings);
}
int SetAttributes(int fd, const termios* settings) {
  Seen(Call::SetAttributes);
  return ::tcsetattr(fd, TCSANOW, settings);
}
int Control(int fd, unsigned long request, void* argument) {
  Seen(Call::Control);
  int result = 0;
  if (posix_calls_seen::g_control && posix_calls_seen::g_control(fd, request, argument, &result))
    return result;
  return ::ioctl(fd, request, argument);
}
ssize_t Read(int fd, void* buffer, size_t count) {
  Seen(Call::Read);
  return ::read(fd, buffer, count);
}
ssize_t Write(int fd, const void* bytes, size_t count) {
  Seen(Call::Write);
  return ::write(fd, bytes, count);
}
int Poll(pollfd* watch, int timeoutMs) {
  Seen(Call::Poll);
  int result = 0;
  if (posix_calls_seen::g_poll && posix_calls_seen::g_poll(watch, timeoutMs, &result)) return result;
  return ::poll(watch, 1, timeoutMs);
}
int Pause(const timespec* length) {
  Seen(Call::Pause);
  return ::nanosleep(length, nullptr);
}

}  // namespace posix_calls
