// qvotk monitor: a passive listener on a tap of the bus (a second adapter
// wired to it, or tovek-sim's --mirror). It opens the port for reading
// only and sends nothing; it pairs each request with the reply that
// follows it and prints one line an exchange, and a summary per station
// when it ends.
#pragma once

#include <string>

#include "tool_run.h"

struct MonitorOptions {
  std::string capture;         // also write what it hears to this capture
  int noAnswerAfterMs = 2000;  // a request with no reply by then was not answered
};

int RunMonitor(const CommonOptions& options, const MonitorOptions& monitor);
