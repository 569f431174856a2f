// qvotk read, write and block: one request each (read: one a point), with
// its attempts counted from the driver's capture.
#include "commands.h"
#include "stop_signals.h"

namespace {

// " (3 attempts)" after a value that needed more than one.
std::string AttemptsNote(size_t attempts) {
  return attempts > 1 ? " (" + std::to_string(attempts) + " attempts)" : "";
}

// The points read one by one, and what is known of them so far: a signal
// during a read prints the points read before it.
class PointReads {
 public:
  explicit PointReads(ToolRun& run) : run_(run) {}

  // Reads `point`; false when the rest is not worth asking: the port
  // failed outright, or a signal came.
  bool Read(const Point& point) {
    const std::string label = PointLabel(point);
    uint16_t value = 0;
    const Timed answer = Time([&] { return run_.host().Read(point, &value); });
    const size_t attempts = run_.TakeAttempts("read " + label).size();
    const JobLock lock;
    result_.status = Worst(result_.status, answer.status);
    Json item;
    item["point"] = label;
    item["status"] = answer.status;
    if (answer.status == QVO_STATUS_OK) {
      result_.lines.push_back(label + " = " + std::to_string(value) + AttemptsNote(attempts));
      item["value"] = value;
    } else {
      problems_.push_back(run_.Explain("read " + label, answer.status));
      item["error"] = problems_.back();
    }
    item["attempts"] = attempts;
    items_.push_back(item);
    if (answer.status == QVO_STATUS_NO_ANSWER) {
      const std::string failure = run_.PortFailure(answer.elapsed);
      if (!failure.empty()) {
        problems_.push_back(failure);
        return false;
      }
    }
    return StopSignal() == 0;
  }

  // What is known: the values read, and each problem on its own line.
  Result Known() const {
    Result found = result_;
    found.json = items_;
    for (size_t i = 0; i < problems_.size(); ++i) found.error += (i ? "\nqvotk: " : "") + problems_[i];
    return found;
  }

  // Said when a signal ends the reads.
  void TellStopped() {
    const JobLock lock;
    problems_.push_back("stopped by a signal while reading");
    Result found = Known();
    found.status = ExitStatusAfter(StopSignal());
    Print(found, run_.options().json);
  }

 private:
  ToolRun& run_;
  Result result_;
  Json items_ = Json::array();
  std::vector<std::string> problems_;
};

// Always an array of result objects, a failure before any request too.
Result AsArray(Result found) {
  if (found.json.is_null()) {
    Json failure;
    failure["status"] = found.status;
    failure["error"] = found.error;
    found.json = Json::array({failure});
  }
  return found;
}

Result Read(const CommonOptions& options, const std::vector<std::string>& names) {
  ToolRun run(options);
  Result failed;
  std::vector<Point> points;
  if (!CheckPortName(options, &failed) || !StartRun(run, &failed) ||
      !ResolvePoints(run, names, &points, &failed) || !OpenRun(run, &failed)) {
    return AsArray(failed);
  }
  // The reads run apart; a signal prints the points read so far.
  PointReads reads(run);
  RunUnlessStopped(
      [&] {
        for (const Point& point : points) {
          if (!reads.Read(point)) break;
        }
      },
      [&] { reads.TellStopped(); }, WaitingFor(run));
  return reads.Known();
}

// The driver would refuse it: refused here, before anything is sent.
bool CheckWrittenValue(const Point& point, int value, Result* refused) {
  if (qvotk_host::TakesValue(point.kind == QVO_POINT_S, value)) return true;
  *refused = Failure(kExitUsage, (point.kind == QVO_POINT_S ? "the S point takes 0-9, not "
                                                            : "numbered points take 1 or 2, not ") +
                                     std::to_string(value));
  return false;
}

Result Write(const CommonOptions& options, const std::string& name, int value) {
  ToolRun run(options);
  Result result;
  std::vector<Point> points;
  if (!CheckPortName(options, &result) || !StartRun(run, &result) ||
      !ResolvePoints(run, {name}, &points, &result) || !CheckWrittenValue(points[0], value, &result) ||
      !OpenRun(run, &result)) {
    return result;
  }
  const Point& point = points[0];
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  size_t attempts = 0;
  RunRequest(
      run,
      [&] {
        status = run.host().Write(point, static_cast<uint16_t>(value));
        attempts = run.TakeAttempts("write " + PointLabel(point)).size();
      },
      "writing: the write may or may not have reached the controller");
  result.status = status;
  result.json["point"] = PointLabel(point);
  result.json["status"] = status;
  result.json["value"] = value;  // what was written, or meant to be
  result.json["attempts"] = attempts;
  if (status == QVO_STATUS_OK) {
    result.lines.push_back(PointLabel(point) + " := " + std::to_string(value) + AttemptsNote(attempts));
  } else {
    result.error = run.Explain("write " + PointLabel(point) + " = " + std::to_string(value), status);
    result.json["error"] = result.error;
  }
  return result;
}

// The values 16 to a line.
void AddValueRows(const std::vector<uint16_t>& values, std::vector<std::string>* lines) {
  constexpr size_t kPerRow = 16;
  std::string row;
  for (size_t i = 0; i < values.size(); ++i) {
    row += (i % kPerRow ? " " : "") + std::to_string(values[i]);
    if (i % kPerRow == kPerRow - 1 || i + 1 == values.size()) {
      lines->push_back(row);
      row.clear();
    }
  }
  if (values.empty()) lines->push_back("(no values)");
}

Result Block(const CommonOptions& options, int32_t count) {
  ToolRun run(options);
  Result result;
  if (!CheckPortName(options, &result) || !StartRun(run, &result)) return result;
  if (run.host().CheckBlock("001", count) != QVO_STATUS_OK) {
    return Failure(kExitUsage, "a block holds 0 to 255 values, not " + std::to_string(count));
  }
  if (!OpenRun(run, &result)) return result;
  std::vector<uint16_t> values;
  QvoStatus status = QVO_STATUS_NO_ANSWER;
  size_t attempts = 0;
  RunRequest(
      run,
      [&] {
        status = run.host().ReadBlock(count, &values);
        attempts = run.TakeAttempts("block of " + std::to_string(count)).size();
      },
      "reading the block");
  result.status = status;
  result.json["count"] = count;
  result.json["status"] = status;
  result.json["attempts"] = attempts;
  if (status == QVO_STATUS_OK) {
    if (attempts > 1) result.lines.push_back("after " + std::to_string(attempts) + " attempts:");
    AddValueRows(values, &result.lines);
    result.json["values"] = values;
  } else {
    result.error = run.Explain("block of " + std::to_string(count) + " values", status, true);
    result.json["error"] = result.error;
  }
  return result;
}

}  // namespace

int ReadCommand(CommandLine& line) {
  std::vector<std::string> points;
  line.app().add_option("points", points, "Point names")->required();
  if (!line.Parse()) return line.status();
  return line.Report(Read(line.options(), points));
}

int WriteCommand(CommandLine& line) {
  std::string point;
  int value = 0;
  line.app().add_option("point", point, "Point name")->required();
  line.app().add_option("value", value, "Value")->required();
  if (!line.Parse()) return line.status();
  return line.Report(Write(line.options(), point, value));
}

int BlockCommand(CommandLine& line) {
  int32_t values = 0;
  line.app().add_option("values", values, "Number of values, 0-255")->required();
  if (!line.Parse()) return line.status();
  return line.Report(Block(line.options(), values));
}
