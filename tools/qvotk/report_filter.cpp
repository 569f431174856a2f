#include "report_filter.h"

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "output.h"
#include "stop_signals.h"

#if !defined(_WIN32)
#include <unistd.h>

#include <mutex>
#endif

struct ReportFilter::State {
  int terminal = -1;  // standard error as it was
  int pipeRead = -1;
  std::thread reader;
  std::map<std::string, unsigned> seen;
  std::vector<std::string> order;
};

#if defined(_WIN32)
// On Windows the reports go to the host support library or the debugger,
// not to standard error: nothing to filter.
ReportFilter::ReportFilter() : state_(nullptr) {}
ReportFilter::~ReportFilter() {}
void ReportFilter::Finish() {}
void ShowPortAs(const std::string&, const std::string&) {}
#else
namespace {

std::mutex g_namesMutex;
std::string g_driverName, g_shownName;

std::string AsShown(std::string line) {
  std::lock_guard<std::mutex> lock(g_namesMutex);
  if (g_driverName.empty()) return line;
  for (size_t at = 0; (at = line.find(g_driverName, at)) != std::string::npos; at += g_shownName.size())
    line.replace(at, g_driverName.size(), g_shownName);
  return line;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void ShowPortAs(const std::string& driverName, const std::string& shownName) {
  std::lock_guard<std::mutex> lock(g_namesMutex);
  g_driverName = driverName;
  g_shownName = shownName;
}

ReportFilter::ReportFilter() : state_(new State) {
  int fds[2];
  if (pipe(fds) != 0) return;
  std::fflush(stderr);
  state_->terminal = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  state_->pipeRead = fds[0];
  state_->reader = std::thread([state = state_] {
    std::string pending;
    char buffer[512];
    for (;;) {
      const ssize_t n = read(state->pipeRead, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        std::string line = AsShown(pending.substr(0, end));
        // A progress line redrawn with carriage returns ended with a
        // newline: what it showed last is on the screen already.
        const size_t redrawn = line.rfind('\r');
        if (redrawn != std::string::npos) {
          WriteAll(state->terminal, line.substr(0, redrawn + 1));
          line.erase(0, redrawn + 1);
        }
        if (state->seen[line]++ == 0) {
          state->order.push_back(line);
          // A report goes on a line of its own, not after a status line.
          if (TakeStatusLine()) WriteAll(state->terminal, "\r" + std::string(79, ' ') + "\r");
          WriteAll(state->terminal, line + "\n");
        }
      }
      // Progress redraws itself with carriage returns: shown at once.
      const size_t redrawn = pending.rfind('\r');
      if (redrawn != std::string::npos) {
        WriteAll(state->terminal, pending.substr(0, redrawn + 1));
        pending.erase(0, redrawn + 1);
      }
    }
    if (!pending.empty()) WriteAll(state->terminal, pending);
  });
  // A tool ended by a signal still shows what came through.
  BeforeEnd([this] { Finish(); });
}

ReportFilter::~ReportFilter() {
  Finish();
  delete state_;
}

void ReportFilter::Finish() {
  if (state_->terminal >= 0) {
    std::fflush(stderr);
    dup2(state_->terminal, STDERR_FILENO);  // the pipe's last writer goes: the reader ends
    state_->reader.join();
    close(state_->pipeRead);
    for (const std::string& line : state_->order) {
      const unsigned count = state_->seen[line];
      if (count > 1) std::fprintf(stderr, "%s  (repeated %u times in all)\n", line.c_str(), count);
    }
    close(state_->terminal);
    state_->terminal = -1;
  }
}
#endif
