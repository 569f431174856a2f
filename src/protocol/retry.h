// A value request on the controller's line, and the attempts it makes.
#pragma once

#include "protocol/replies.h"
#include "qvotk/qvotk.h"

constexpr int MaxAttempts = 10;

// A request: its ledger started, `run` with it, and its ledger ended. A
// port whose device has gone is sought first; while it is still gone the
// request answers 2 at once, with no attempt and nothing else told.
template <typename Run>
QvoStatus OnLine(const ControllerLine& line, Run run) {
  LineLedger ledger;
  if (!StartLedger(&ledger, &line)) return QVO_STATUS_NO_ANSWER;
  const QvoStatus status = run(&ledger);
  EndLedger(&ledger);
  return status;
}

// Repeats the exchange until it succeeds, at most MaxAttempts times, and
// answers with the last attempt's status. Each attempt builds and sends its
// frame anew; there is no pause between attempts beyond what the exchange
// itself spends. A port whose device has gone ends the attempts: none could
// reach the line. Before it returns, the request waits for the replies its
// frames still have coming.
template <typename Attempt>
QvoStatus RepeatAttempts(LineLedger* ledger, const ReplyShape& shape, Attempt attempt) {
  QvoStatus result = QVO_STATUS_REJECTED;
  for (int count = 0; count < MaxAttempts; ++count) {
    result = attempt();
    if (result == QVO_STATUS_OK || LineGone(ledger->turn)) break;
  }
  AwaitUnansweredFrames(ledger, shape);
  return result;
}
