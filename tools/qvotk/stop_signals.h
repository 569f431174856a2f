// Ctrl-C, SIGTERM, SIGHUP and a closed standard output ask the tool to stop.
// A request to the driver can last seconds (ten attempts against a silent
// station) or for ever (a read time-out of 0), and the driver has no
// cancellation: requests run on a thread of their own, and a signal ends the
// tool at once with what it knows. The port is released when the process
// ends.
#pragma once

#include <functional>
#include <string>

#include "qvotk_host/host_facts.h"

// Catches SIGINT, SIGTERM, SIGHUP and SIGPIPE; a closed standard output no
// longer kills the tool, which stops at its next check instead.
void CatchStopSignals();

// The signal that asked to stop, or 0.
int StopSignal();

using qvotk_host::ExitStatusAfter;

// Something to undo however the tool ends, a signal included (a private
// directory to remove, a child to stop): undone when the guard goes, or
// when a signal ends the tool first.
class UndoAtExit {
 public:
  explicit UndoAtExit(std::function<void()> undo);
  ~UndoAtExit();
  UndoAtExit(const UndoAtExit&) = delete;
  UndoAtExit& operator=(const UndoAtExit&) = delete;

 private:
  int id_;
};

// Runs `job` on a thread of its own and waits for it. When a stop signal
// comes first, `tell` says what is known on this thread and the tool ends
// with ExitStatusAfter(signal), without unwinding: the job is still inside
// the driver and keeps every object it uses.
// On a terminal, a job that lasts a second or more says what it waits for
// (`waitingFor`, "" for nothing), and for how long, until it ends.
void RunUnlessStopped(const std::function<void()>& job, const std::function<void()>& tell,
                      const std::string& waitingFor = "");

// Held while touching what a job and its `tell` share.
class JobLock {
 public:
  JobLock();
  ~JobLock();
  JobLock(const JobLock&) = delete;
  JobLock& operator=(const JobLock&) = delete;
};

// Ends the tool now: undoes what was registered, flushes, exits with `status`.
[[noreturn]] void EndTool(int status);

// Called before the tool ends this way, to flush what it buffers (the
// report filter).
void BeforeEnd(std::function<void()> flush);
