#include "child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         std::string* error) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + strerror(errno);
    return false;
  }
  if (pid == 0) {
    // The child goes when its parent does, however the parent ends (killed,
    // or its output piped to head).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execv(program.c_str(), argv.data());
    std::fprintf(stderr, "cannot run %s: %s\n", program.c_str(), strerror(errno));
    _exit(127);
  }
  close(pipeFds[1]);
  pid_ = pid;
  output_ = pipeFds[0];
  return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      *line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return true;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (output_ < 0 || elapsed >= timeoutMs) return false;
    pollfd watch = {output_, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(timeoutMs - elapsed)) <= 0) return false;
    char chunk[256];
    const ssize_t n = read(output_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

void ChildProcess::Send(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int ChildProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int status = 0;
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
  }
  return -1;
}

std::string ChildProcess::ReadRest(int timeoutMs) {
  std::string rest = buffered_;
  buffered_.clear();
  while (output_ >= 0) {
    pollfd watch = {output_, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) break;
    char chunk[1024];
    const ssize_t n = read(output_, chunk, sizeof chunk);
    if (n <= 0) break;
    rest.append(chunk, static_cast<size_t>(n));
  }
  return rest;
}

int ChildProcess::Stop(int signal) {
  if (output_ >= 0) close(output_);
  output_ = -1;
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::string ProgramDirectory(const char* argv0) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0);
  const size_t slash = self.rfind('/');
  return slash == std::string::npos ? "." : self.substr(0, slash);
}
