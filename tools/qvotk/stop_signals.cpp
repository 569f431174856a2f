#include "stop_signals.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "output.h"

#if !defined(_WIN32)
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#endif

namespace {

// Signals land on whichever thread runs: the worker's included.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");
// The first signal is the reason: a report written to a closed output
// while stopping does not turn Ctrl-C into a broken pipe.
void OnStop(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
}

std::map<int, std::function<void()>>& Undos() {
  static std::map<int, std::function<void()>> undos;
  return undos;
}
int g_nextUndo = 0;

std::function<void()>& Flush() {
  static std::function<void()> flush;
  return flush;
}

}  // namespace

void CatchStopSignals() {
#if defined(_WIN32)
  signal(SIGINT, OnStop);
  signal(SIGTERM, OnStop);
#else
  struct sigaction action {};
  action.sa_handler = OnStop;
  for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(stop, &action, nullptr);
#endif
}

int StopSignal() { return g_signal; }

UndoAtExit::UndoAtExit(std::function<void()> undo) : id_(g_nextUndo++) { Undos()[id_] = std::move(undo); }

UndoAtExit::~UndoAtExit() {
  const auto it = Undos().find(id_);
  if (it == Undos().end()) return;
  const std::function<void()> undo = std::move(it->second);
  Undos().erase(it);
  undo();
}

void BeforeEnd(std::function<void()> flush) { Flush() = std::move(flush); }

void EndTool(int status) {
  // The latest first, as the guards would have gone.
  auto& undos = Undos();
  for (auto it = undos.rbegin(); it != undos.rend(); ++it) it->second();
  undos.clear();
  std::fflush(stdout);
  if (Flush()) Flush()();
  std::fflush(stderr);
  std::_Exit(status);
}

#if defined(_WIN32)
JobLock::JobLock() {}
JobLock::~JobLock() {}
#else
namespace {
std::mutex g_jobMutex;
}
JobLock::JobLock() { g_jobMutex.lock(); }
JobLock::~JobLock() { g_jobMutex.unlock(); }
#endif

void RunUnlessStopped(const std::function<void()>& job, const std::function<void()>& tell,
                      const std::string& waitingFor) {
#if defined(_WIN32)
  // No threads in this build: the job runs here, and a signal is seen after it.
  (void)tell;
  (void)waitingFor;
  job();
#else
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };
  auto shared = std::make_shared<Shared>();
  std::thread worker([shared, &job] {
    job();
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->finished = true;
    shared->done.notify_all();
  });
  const auto started = std::chrono::steady_clock::now();
  const bool mayTell = !waitingFor.empty() && ErrorsGoToTerminal();
  long told = 0;  // whole seconds told
  std::unique_lock<std::mutex> lock(shared->mutex);
  while (!shared->finished) {
    if (g_signal != 0) {
      lock.unlock();
      worker.detach();
      if (told > 0) std::fprintf(stderr, "\n");
      tell();
      EndTool(ExitStatusAfter(g_signal));
    }
    // A signal interrupts no condition wait: look again every 20 ms.
    shared->done.wait_for(lock, std::chrono::milliseconds(20));
    const long seconds = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count());
    if (mayTell && seconds >= 1 && seconds != told) {
      std::fprintf(stderr, "\rqvotk: waiting %ld s for %s ", seconds, waitingFor.c_str());
      std::fflush(stderr);
      told = seconds;
    }
  }
  lock.unlock();
  worker.join();
  if (told > 0) std::fprintf(stderr, "\r%*s\r", 78, "");
#endif
}
