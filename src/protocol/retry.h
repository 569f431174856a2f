// Every value request repeats its exchange until it succeeds, at most
// MaxAttempts times, and answers with the last attempt's status. Each
// attempt builds and sends its frame anew; there is no pause between
// attempts beyond what the exchange itself spends. Before it returns, the
// request waits for the replies its frames still have coming.
#pragma once

#include "entry/request.h"
#include "protocol/replies.h"

constexpr int MaxAttempts = 10;

template <typename Attempt>
QvoStatus RepeatAttempts(LineLedger* ledger, const ReplyShape& shape, Attempt attempt) {
  QvoStatus result = kStatusRejected;
  for (int count = 0; count < MaxAttempts; ++count) {
    result = attempt();
    if (result == kStatusOk) break;
  }
  AwaitUnansweredFrames(ledger, shape);
  return result;
}
