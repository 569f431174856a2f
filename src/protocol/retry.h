// Every value request repeats its exchange until it succeeds, at most
// MaxAttempts times, and answers with the last attempt's status. Each
// attempt builds and sends its frame anew; there is no pause between
// attempts beyond what the exchange itself spends. A port whose device has
// gone ends the attempts: none could reach the line. Before it returns, the
// request waits for the replies its frames still have coming.
#pragma once

#include "protocol/replies.h"
#include "qvotk/qvotk.h"
#include "serial/serial_port.h"

constexpr int MaxAttempts = 10;

template <typename Attempt>
QvoStatus RepeatAttempts(LineLedger* ledger, const ReplyShape& shape, Attempt attempt) {
  QvoStatus result = QVO_STATUS_REJECTED;
  for (int count = 0; count < MaxAttempts; ++count) {
    result = attempt();
    if (result == QVO_STATUS_OK || CommPortLost(ledger->line->port)) break;
  }
  AwaitUnansweredFrames(ledger, shape);
  return result;
}
