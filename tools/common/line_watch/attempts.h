// A request's attempts as a capture shows them: each frame sent, what the
// line brought until the next one, and what that was.
#pragma once

#include <string>
#include <vector>

#include "line_watch/capture_file.h"

namespace line_watch {

struct Attempt {
  std::string sent;
  std::string received;  // every byte read until the next frame was sent
  std::vector<LineEvent> lineErrors;
};

// Splits records into attempts: a new one at each frame sent. What came
// before the first send (a late reply drained ahead of it) is left out.
std::vector<Attempt> AttemptsOf(const std::vector<LineRecord>& records);

// "sent :0508001268007E; received :070000126800020084 (reply read S station
// 12 = 2, ok)", with CR and LF shown as <CR><LF>.
std::string DescribeAttempt(const Attempt& attempt);

// Bytes as text a person can read: controls and bytes above 0x7E escaped.
std::string Printable(const std::string& bytes);

}  // namespace line_watch
