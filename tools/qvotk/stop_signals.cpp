#include "stop_signals.h"

#include <signal.h>

namespace {
volatile sig_atomic_t g_signal = 0;
void OnStop(int signal) { g_signal = signal; }
}  // namespace

void CatchStopSignals() {
#if defined(_WIN32)
  signal(SIGINT, OnStop);
  signal(SIGTERM, OnStop);
#else
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif
}

int StopSignal() { return g_signal; }
