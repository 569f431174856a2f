#include "replay.h"

#include <algorithm>

#include "line_watch/capture_file.h"

using line_watch::LineEvent;
using line_watch::LineRecord;

bool ReplayAnswers::Load(const std::string& path, unsigned baud, std::string* error) {
  std::vector<LineRecord> records;
  if (!line_watch::ReadCapture(path, &records, error)) return false;
  const int64_t characterUs = baud ? 10LL * 1000000 / baud : 0;  // 10 bits a character
  std::vector<sim::LinePiece>* answer = nullptr;
  int64_t lineFreeAt = 0;  // capture time the previous piece had fully come
  for (const LineRecord& record : records) {
    if (record.event == LineEvent::Sent) {
      Turns& turns = byRequest_[record.bytes];
      turns.answers.emplace_back();
      answer = &turns.answers.back();
      ++heldRequests_;
      lineFreeAt = record.microseconds + characterUs * static_cast<int64_t>(record.bytes.size());
    } else if (record.event == LineEvent::Received && answer != nullptr && !record.bytes.empty()) {
      // A read returns once its last byte has come: the first came a
      // piece's time on the wire before, and not before the line was free.
      const int64_t began =
          std::max(lineFreeAt, record.microseconds - characterUs * static_cast<int64_t>(record.bytes.size()));
      answer->emplace_back(static_cast<uint64_t>(began - lineFreeAt), record.bytes);
      lineFreeAt = std::max(lineFreeAt, record.microseconds);
    }
  }
  if (heldRequests_ == 0) {
    *error = path + " holds no request sent on the line";
    return false;
  }
  return true;
}

std::vector<sim::LinePiece> ReplayAnswers::Answer(const std::string& request, bool* known) {
  const auto found = byRequest_.find(request);
  *known = found != byRequest_.end();
  if (!*known) {
    ++unknown_;
    return {};
  }
  Turns& turns = found->second;
  const size_t turn = std::min(turns.next, turns.answers.size() - 1);
  if (turns.next < turns.answers.size()) ++turns.next;
  ++answered_;
  return turns.answers[turn];
}
