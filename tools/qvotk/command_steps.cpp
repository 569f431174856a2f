// The steps the commands share.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "stop_signals.h"

std::string WaitingFor(const ToolRun& run) {
  const LineOptions line = run.Line();
  char text[160];
  if (line.timeoutUnits == 0) {
    std::snprintf(text, sizeof text, "station %u on %s (a read time-out of 0 waits for ever; Ctrl-C ends)",
                  run.host().channel().stationAddress, run.options().port.c_str());
  } else {
    std::snprintf(text, sizeof text, "station %u on %s (up to %d attempts, %u ms each)",
                  run.host().channel().stationAddress, run.options().port.c_str(), qvotk_host::kMaxAttempts,
                  line.timeoutUnits * qvotk_host::kTimeoutUnitMs);
  }
  return text;
}

bool CheckPortName(const CommonOptions& options, Result* refused) {
  if (!options.port.empty()) return true;
  *refused = Failure(kExitUsage, "no port given: use --port NAME (for tovek-sim, the name it printed)");
  return false;
}

bool StartRun(ToolRun& run, Result* failed) {
  std::string error;
  bool usage = false;
  if (run.Start(&error, &usage)) return true;
  *failed = Failure(usage ? kExitUsage : QVO_STATUS_NO_ANSWER, error);
  return false;
}

bool ResolvePoints(ToolRun& run, const std::vector<std::string>& names, std::vector<Point>* points,
                   Result* refused) {
  points->resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (run.host().Validate(names[i], &(*points)[i]) != QVO_STATUS_OK) {
      *refused =
          Failure(kExitUsage, "'" + names[i] + "' is not a point name: use S, or three digits 000-999");
      return false;
    }
  }
  return true;
}

bool OpenRun(ToolRun& run, Result* failed) {
  std::string error;
  if (run.Open(&error)) return true;
  *failed = Failure(QVO_STATUS_NO_ANSWER, error);
  return false;
}

void RunRequest(const ToolRun& run, const std::function<void()>& request, const std::string& doing) {
  RunUnlessStopped(
      request,
      [&] {
        Print(Failure(ExitStatusAfter(StopSignal()), "stopped by a signal while " + doing),
              run.options().json);
      },
      WaitingFor(run));
}

std::string PointLabel(const Point& point) {
  if (point.kind == QVO_POINT_S) return "S";
  char label[8];
  std::snprintf(label, sizeof label, "%03u", point.number);
  return label;
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}
