// A child program with its standard output on a pipe: how the demo and the
// end-to-end tests run tovek-sim beside the driver.
#pragma once

#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `arguments`; its standard error goes where ours does.
  bool Start(const std::string& program, const std::vector<std::string>& arguments, std::string* error);
  // One line of the child's standard output, waiting at most `timeoutMs`.
  bool ReadLine(std::string* line, int timeoutMs);
  // Sends `signal` (SIGTERM unless told), then waits; returns the exit
  // status (-1 if it did not exit).
  int Stop(int signal = 15);
  // Sends `signal` and goes on reading what the child writes.
  void Send(int signal);
  // Waits at most `timeoutMs` for the child to end by itself; its exit
  // status, or -1 when it is still running.
  int Wait(int timeoutMs);
  // Everything the child still writes until it closes its output.
  std::string ReadRest(int timeoutMs);
  bool running() const { return pid_ > 0; }
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int output_ = -1;
  std::string buffered_;
};

// The directory of the running program.
std::string ProgramDirectory(const char* argv0);
