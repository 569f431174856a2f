// TOVEK frames as a bystander sees them on the line: split out of the
// bytes as they come, and read for what they say, requests and replies
// alike. A frame is ":", a count byte, the body and a checksum byte, each
// byte as two hexadecimal digits, then CR LF. A request's body opens with
// its command and the station address; a reply's with its status (the
// second digit "0" is success), except a block reply, which is values only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace line_watch {

struct Frame {
  std::string text;  // ":" to CR LF, or what came before the next ":"
  bool framed = false;
  bool noise = false;        // bytes outside any frame
  int64_t microseconds = 0;  // when its last byte came
};

// The longest frame, a block of 255 values, is 517 characters: anything
// longer without its CR LF is noise, and at most this much is kept.
constexpr size_t kLongestFrame = 600;

class FrameSplitter {
 public:
  // Takes the next bytes; the frames they complete go to `frames`, and the
  // noise among them as frames of its own.
  void Feed(const std::string& bytes, int64_t microseconds, std::vector<Frame>* frames);
  size_t pendingBytes() const { return pending_.size(); }

 private:
  std::string pending_;  // from a ":" on
};

enum class Command : int { None = -1, WriteS = 0x05, Block = 0x06, ReadS = 0x08, Point = 0x09 };

struct FrameMeaning {
  std::string text;  // the frame as heard
  bool request = false;
  bool framed = false;  // count, length, digits and CR LF as the rules say
  bool checksumOk = false;
  Command command = Command::None;
  int station = -1;
  int point = -1;  // a numbered point
  int value = -1;  // the value read or written
  std::vector<int> values;
  char status = 0;  // a single-value reply's status character
};

// Whether a frame reads as a request: its body opens with a command the
// driver sends, at its length.
bool IsRequest(const std::string& text);
// What a frame says; a reply is read as the answer to `asked` (a block's
// reply holds only values).
FrameMeaning ReadFrame(const std::string& text, bool request, Command asked = Command::None);

// "read S point", "write point", ...
std::string CommandName(Command command);
// One line for people: "request read point 005 of station 12", "reply 42 ok".
std::string Describe(const FrameMeaning& meaning);

}  // namespace line_watch
