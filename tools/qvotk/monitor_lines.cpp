#include "monitor_lines.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "commands.h"
#include "output.h"

namespace {

// Local time of day, to the millisecond.
std::string ClockText(int64_t microseconds) {
  constexpr int64_t kMicrosecondsPerSecond = 1000000;
  const std::time_t seconds = static_cast<std::time_t>(microseconds / kMicrosecondsPerSecond);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(microseconds % kMicrosecondsPerSecond / 1000));
  return text;
}

void PrintHeardJson(const HeardLine& heard) {
  const line_watch::FrameMeaning* request = heard.request;
  const line_watch::FrameMeaning* reply = heard.reply;
  Json line;
  line["time"] = ClockText(heard.at);
  line["station"] = heard.station < 0 ? Json() : Json(heard.station);
  if (request != nullptr) {
    line["command"] = line_watch::CommandName(request->command);
    if (request->point >= 0) line["point"] = request->point;
  }
  const int value =
      reply != nullptr && reply->value >= 0 ? reply->value : (request != nullptr ? request->value : -1);
  if (value >= 0) line["value"] = value;
  if (reply != nullptr && reply->command == line_watch::Command::Block) {
    line["values"] = reply->values;
  } else if (request != nullptr && request->command == line_watch::Command::Block) {
    line["values"] = nullptr;  // a block request does not say how many
  }
  if (reply != nullptr && reply->status != 0) line["statusCharacter"] = std::string(1, reply->status);
  if (reply != nullptr) line["checksumOk"] = reply->checksumOk;
  if (heard.latencyMs >= 0) line["latencyMs"] = JsonFigure(heard.latencyMs, 3);
  line["result"] = heard.verdict;
  if (heard.bytes != nullptr) line["bytes"] = *heard.bytes;
  std::printf("%s\n", JsonLine(line).c_str());
}

void PrintHeardText(const HeardLine& heard) {
  const line_watch::FrameMeaning* request = heard.request;
  const line_watch::FrameMeaning* reply = heard.reply;
  std::string what = request != nullptr ? line_watch::CommandName(request->command) : "-";
  if (request != nullptr && request->point >= 0) {
    char point[16];
    std::snprintf(point, sizeof point, " %03d", request->point);
    what += point;
  }
  std::string value;
  if (reply != nullptr && reply->command == line_watch::Command::Block) {
    value = std::to_string(reply->values.size()) + " values";
  } else if (request != nullptr && request->command == line_watch::Command::Block) {
    value = "count unknown";
  } else if (reply != nullptr && reply->value >= 0) {
    value = "= " + std::to_string(reply->value);
  } else if (request != nullptr && request->value >= 0) {
    value = ":= " + std::to_string(request->value);
  }
  char latency[24] = "";
  if (heard.latencyMs >= 0) std::snprintf(latency, sizeof latency, "%8.1f ms", heard.latencyMs);
  std::printf("%s  station %-4s  %-10s %-12s %-14s %s\n", ClockText(heard.at).c_str(),
              heard.station < 0 ? "?" : std::to_string(heard.station).c_str(), what.c_str(), value.c_str(),
              heard.verdict, latency);
}

Json StationJson(const StationTally& tally) {
  Json item;
  item["exchanges"] = tally.exchanges;
  item["noAnswer"] = tally.noAnswer;
  item["badChecksum"] = tally.badChecksum;
  item["suspect"] = tally.suspect;
  item["echoes"] = tally.echoes;
  item["unframed"] = tally.unframed;
  item["noiseBytes"] = tally.noiseBytes;
  if (!tally.latenciesMs.empty()) {
    item["latencyMinMs"] =
        JsonFigure(*std::min_element(tally.latenciesMs.begin(), tally.latenciesMs.end()), 3);
    item["latencyMedianMs"] = JsonFigure(Median(tally.latenciesMs), 3);
    item["latencyMaxMs"] =
        JsonFigure(*std::max_element(tally.latenciesMs.begin(), tally.latenciesMs.end()), 3);
  }
  return item;
}

void PrintStationText(const std::string& name, const StationTally& tally, const Json& item) {
  char latency[96] = "no latency";
  if (!tally.latenciesMs.empty()) {
    std::snprintf(latency, sizeof latency, "latency min %.1f / median %.1f / max %.1f ms",
                  item["latencyMinMs"].get<double>(), item["latencyMedianMs"].get<double>(),
                  item["latencyMaxMs"].get<double>());
  }
  std::printf(
      "station %s: %llu exchanges, %llu no answer, %llu bad checksum, %llu suspect, %llu echoes, "
      "%llu unframed, %llu noise bytes; %s\n",
      name.c_str(), static_cast<unsigned long long>(tally.exchanges),
      static_cast<unsigned long long>(tally.noAnswer), static_cast<unsigned long long>(tally.badChecksum),
      static_cast<unsigned long long>(tally.suspect), static_cast<unsigned long long>(tally.echoes),
      static_cast<unsigned long long>(tally.unframed), static_cast<unsigned long long>(tally.noiseBytes),
      latency);
}

}  // namespace

void PrintHeard(const HeardLine& heard, bool json) {
  if (json) {
    PrintHeardJson(heard);
  } else {
    PrintHeardText(heard);
  }
  std::fflush(stdout);
}

void PrintStationSummary(const std::map<int, StationTally>& tallies, bool json) {
  Json stations = Json::object();
  for (const auto& [station, tally] : tallies) {
    const Json item = StationJson(tally);
    const std::string name = station < 0 ? "unknown" : std::to_string(station);
    if (json) {
      stations[name] = item;
    } else {
      PrintStationText(name, tally, item);
    }
  }
  if (json) std::printf("%s\n", JsonLine(Json{{"summary", stations}, {"status", 0}}).c_str());
  std::fflush(stdout);
}
