// The POSIX foundation's system calls as the tests see them: each counted,
// and any open, ioctl or poll answered by a test instead of the system,
// where a pseudo-terminal cannot show what a serial device does.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>

namespace posix_calls_seen {

enum class Call { Open, Close, Lock, GetAttributes, SetAttributes, Control, Read, Write, Poll, Pause, Count };

uint64_t Calls(Call call);
uint64_t AllCalls();

// When set, asked first; true when it answered (the call's result in
// `result`, errno set as it wants), false to let the system answer.
using OpenAnswer = std::function<bool(const char* path, int flags, int* result)>;
using ControlAnswer = std::function<bool(int fd, unsigned long request, void* argument, int* result)>;
using PollAnswer = std::function<bool(pollfd* watch, int timeoutMs, int* result)>;
void AnswerOpen(OpenAnswer answer);
void AnswerControl(ControlAnswer answer);
void AnswerPoll(PollAnswer answer);

// Puts the system back in charge of every call.
void Reset();

}  // namespace posix_calls_seen
