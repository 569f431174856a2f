// Ctrl-C and SIGTERM ask the tool to stop: it finishes the request under
// way, tells what it has, cleans up and exits with 128 + the signal.
#pragma once

// Catches SIGINT and SIGTERM; a closed standard output no longer kills the
// tool (it stops at its next check instead).
void CatchStopSignals();

// The signal that asked to stop, or 0.
int StopSignal();

// 130 after Ctrl-C, 143 after SIGTERM.
inline int ExitStatusAfter(int signal) { return 128 + signal; }
