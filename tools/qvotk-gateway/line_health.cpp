#include "line_health.h"

#include <cstdio>

#include "qvotk_host/host_facts.h"

namespace gateway {
namespace {

// A start bit, the data bits, the parity bit if any, and the stop bits.
double BitsPerCharacter(const LineConfig& line) {
  const double stop = line.stopBits == "1.5" ? 1.5 : line.stopBits == "2" ? 2 : 1;
  return 1 + line.dataBits + (line.parity == "none" ? 0 : 1) + stop;
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

double WireLoad(const LineConfig& line) {
  double seconds = 0;  // of the wire, each second
  for (const StationConfig& station : line.stations) {
    for (const PointConfig& point : station.points) {
      const qvotk_host::FrameLengths frames = point.name == "block"
                                                  ? qvotk_host::BlockFrames(point.blockCount)
                                                  : qvotk_host::ValueFrames(point.name == "S", false);
      const double characterUs =
          qvotk_host::WireMicroseconds(1, static_cast<uint32_t>(line.baud)) * BitsPerCharacter(line) / 10;
      seconds += frames.Both() * characterUs / 1e6 * 1000.0 / point.intervalMs;
    }
  }
  return seconds;
}

void LineHealth::Restart(int64_t nowUs) {
  startUs_ = nowUs;
  busyUs_ = 0;
  requests_ = 0;
  polls_ = 0;
}

void LineHealth::Note(int64_t busyUs, bool countedPoll) {
  busyUs_ += busyUs;
  ++requests_;
  if (countedPoll) ++polls_;
}

std::optional<LineHealth::Change> LineHealth::Judge(int64_t nowUs, int windowS, double wantedPerS,
                                                    size_t points) {
  const double seconds = static_cast<double>(nowUs - startUs_) / 1e6;
  if (seconds < windowS) return std::nullopt;
  busyRatio_ = static_cast<double>(busyUs_) / 1e6 / seconds;
  const double achieved = static_cast<double>(polls_) / seconds;
  const double share = wantedPerS > 0 ? achieved / wantedPerS : 1;
  const double roundMs = requests_ == 0 ? 0
                                        : static_cast<double>(busyUs_) / 1e3 /
                                              static_cast<double>(requests_) * static_cast<double>(points);
  Restart(nowUs);
  const bool healthy = share >= kHealthyShare;
  if (healthy == healthy_) return std::nullopt;
  healthy_ = healthy;
  const std::string rates = Fixed(wantedPerS, 1) + " reads/s wanted, " + Fixed(achieved, 1) + " achieved";
  if (healthy) {
    return Change{Level::Info,
                  "read at " + Fixed(share * 100, 0) + "% of its configured rate again: " + rates};
  }
  return Change{Level::Warning, "read at " + Fixed(share * 100, 0) + "% of its configured rate for " +
                                    Fixed(seconds, 0) + " s: " + rates + "; a round of its " +
                                    std::to_string(points) + " points keeps the line busy " +
                                    Fixed(roundMs, 0) + " ms"};
}

}  // namespace gateway
