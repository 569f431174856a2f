// qvotk info and check: what the driver says without a line.
#include <cstdio>

#include "commands.h"
#include "cp437.h"

namespace {

Json DefaultLine(const QvoDriverInfo& info) {
  Json line;
  line["baudRate"] = info.defaultLine.baudRate;
  line["dataBits"] = info.defaultLine.dataBits;
  line["stopBits"] = info.defaultLine.stopBits;
  line["parity"] = info.defaultLine.parity;
  return line;
}

Result Info(const CommonOptions& options) {
  ToolRun run(options);
  Result result;
  if (!StartRun(run, &result)) return result;
  const QvoDriverInfo& info = run.info();
  result.json["status"] = 0;
  result.json["driverCode"] = info.driverCode;
  result.json["driverName"] = info.driverName;
  result.json["channelSize"] = info.channelSize;
  result.json["presetA"] = info.presetA;
  result.json["presetB"] = info.presetB;
  result.json["defaultLine"] = DefaultLine(info);
  result.json["banner"] = Cp437ToUtf8(info.banner);
  result.lines.push_back(Cp437ForTerminal(info.banner));
  char text[160];
  // The presets are the host's to read: shown by their names, not explained.
  std::snprintf(text, sizeof text,
                "driver \"%s\" (driver code %u), channel record of %u bytes, host presets A %u and B %u",
                info.driverName, info.driverCode, info.channelSize, info.presetA, info.presetB);
  result.lines.push_back(text);
  const unsigned stopBits = info.defaultLine.stopBits;
  std::snprintf(text, sizeof text, "default line: %u baud, %u data bits, %s, parity %s",
                info.defaultLine.baudRate, info.defaultLine.dataBits,
                stopBits == 0   ? "1 stop bit"
                : stopBits == 1 ? "1.5 stop bits"
                : stopBits == 2 ? "2 stop bits"
                                : "stop bits of unknown code",
                qvotk_host::ParityName(info.defaultLine.parity));
  result.lines.push_back(text);
  return result;
}

constexpr const char* kNoPointName = "no point name: S, or three digits 000-999";

// One name: what the driver makes of it, as a line and as JSON.
Json CheckName(HostChannel& host, const std::string& name, int32_t values, Result* result) {
  Point point;
  const QvoStatus valid = host.Validate(name, &point);
  const QvoStatus block = host.CheckBlock(name, values);
  result->status = Worst(result->status, valid);
  Json item;
  item["name"] = name;
  item["status"] = valid;
  item["valid"] = valid == QVO_STATUS_OK;
  item["blockReadable"] = block == QVO_STATUS_OK;
  const std::string quoted = "'" + name + "'";
  char text[160];
  if (valid != QVO_STATUS_OK) {
    item["error"] = kNoPointName;
    std::snprintf(text, sizeof text, "%-10s %s", quoted.c_str(), kNoPointName);
  } else {
    item["kind"] = point.kind == QVO_POINT_S ? "S" : "numbered";
    if (point.kind != QVO_POINT_S) item["number"] = point.number;
    const std::string kind =
        point.kind == QVO_POINT_S ? "the S point" : "numbered point " + std::to_string(point.number);
    const std::string asBlock =
        block == QVO_STATUS_OK ? ", readable as a block of " + std::to_string(values) : std::string();
    std::snprintf(text, sizeof text, "%-10s %s%s", quoted.c_str(), kind.c_str(), asBlock.c_str());
  }
  result->lines.push_back(text);
  return item;
}

Result Check(const CommonOptions& options, const std::vector<std::string>& names, int32_t values) {
  ToolRun run(options);
  Result result;
  if (!StartRun(run, &result)) return result;
  Json items = Json::array();
  for (const std::string& name : names) items.push_back(CheckName(run.host(), name, values, &result));
  result.json["status"] = result.status;
  result.json["names"] = items;
  return result;
}

}  // namespace

int InfoCommand(CommandLine& line) {
  if (!line.Parse()) return line.status();
  return line.Report(Info(line.options()));
}

int CheckCommand(CommandLine& line) {
  std::vector<std::string> names;
  int32_t values = 16;
  line.app().add_option("names", names, "Point names: S, or three digits 000-999")->required();
  line.app().add_option("--values", values, "Values of the block question, 0-255 (16)");
  if (!line.Parse()) return line.status();
  return line.Report(Check(line.options(), names, values));
}
