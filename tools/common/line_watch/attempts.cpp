#include "line_watch/attempts.h"

#include <cstdio>

#include "line_watch/frames.h"

namespace line_watch {

std::vector<Attempt> AttemptsOf(const std::vector<LineRecord>& records) {
  std::vector<Attempt> attempts;
  for (const LineRecord& record : records) {
    if (record.event == LineEvent::Sent) {
      attempts.push_back({record.bytes, "", {}});
    } else if (attempts.empty()) {
      continue;
    } else if (record.event == LineEvent::Received) {
      attempts.back().received += record.bytes;
    } else if (record.event != LineEvent::StatusChange) {
      attempts.back().lineErrors.push_back(record.event);
    }
  }
  return attempts;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "<CR>";
    } else if (c == '\n') {
      text += "<LF>";
    } else if (c < 0x20 || c > 0x7E) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "<%02X>", c);
      text += escaped;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

std::string DescribeAttempt(const Attempt& attempt) {
  std::string text = "sent " + Printable(attempt.sent) + "; ";
  if (attempt.received.empty()) {
    text += "nothing came back";
  } else {
    text += "received " + Printable(attempt.received) + " (";
    const Command asked = ReadFrame(attempt.sent, true).command;
    FrameSplitter splitter;
    std::vector<Frame> frames;
    splitter.Feed(attempt.received, 0, &frames);
    bool first = true;
    for (const Frame& frame : frames) {
      text += first ? "" : "; ";
      first = false;
      if (frame.noise) {
        text += std::to_string(frame.text.size()) + " bytes of noise";
      } else if (frame.text == attempt.sent) {
        text += "the request's echo";
      } else {
        text += Describe(ReadFrame(frame.text, false, asked));
      }
    }
    if (splitter.pendingBytes() != 0) {
      text += std::string(first ? "" : "; ") + "a frame cut short after " +
              std::to_string(splitter.pendingBytes()) + " bytes";
    }
    text += ")";
  }
  for (LineEvent error : attempt.lineErrors) text += std::string("; ") + EventName(error);
  return text;
}

}  // namespace line_watch
