#include "trace_text.h"

#include <cstdio>

#include "line_watch/attempts.h"

std::string PrintableFrame(std::string_view frame) { return line_watch::Printable(std::string(frame)); }

std::string DescribeRequest(std::string_view frame) {
  sim::DecodedRequest request;
  if (!sim::DecodeRequest(frame, &request)) return "not a valid frame: ignored";
  const std::vector<uint8_t>& b = request.body;
  char text[128];
  const unsigned station = request.station;
  if (request.command == sim::kCommandWriteSPoint && b.size() == 4) {
    std::snprintf(text, sizeof text, "station %u: write S point = %d", station, b[3] >> 4);
  } else if (request.command == sim::kCommandBlock) {
    std::snprintf(text, sizeof text, "station %u: read block", station);
  } else if (request.command == sim::kCommandSPoint) {
    std::snprintf(text, sizeof text, "station %u: read S point", station);
  } else if (request.command == sim::kCommandPoint && b.size() == 6 && b[3] == sim::kCodeRead) {
    std::snprintf(text, sizeof text, "station %u: read point %03d", station, sim::PointNumberOf(b));
  } else if (request.command == sim::kCommandPoint && b.size() == 6) {
    std::snprintf(text, sizeof text, "station %u: write point %03d = %d", station, sim::PointNumberOf(b),
                  b[3] - 0x70);
  } else {
    std::snprintf(text, sizeof text, "station %u: unknown command %02X", station, request.command);
  }
  return text;
}

std::string DescribeAnswer(const sim::BusExchange& exchange) {
  const std::string& reply = exchange.reply;
  std::string text;
  if (reply.empty()) {
    text = "no reply";
  } else if (exchange.fault == sim::Fault::ShortReply) {
    text = "cut short";
  } else {
    const size_t start = reply.find(':');
    const std::string frame = start == std::string::npos ? reply : reply.substr(start);
    if (exchange.command == sim::kCommandBlock) {
      text = std::to_string(sim::ByteAt(frame, 1)) + " values";
    } else if (frame.size() < 5 || frame[4] != '0') {
      text = "status error";
    } else {
      text = "status ok";
      if (exchange.command == sim::kCommandSPoint)
        text += ", value " + std::to_string(sim::ByteAt(frame, 13));
      sim::DecodedRequest request;
      if (exchange.command == sim::kCommandPoint && sim::DecodeRequest(exchange.request, &request) &&
          request.body[3] == sim::kCodeRead) {
        text += ", value " + std::to_string(sim::ByteAt(frame, 15));
      }
    }
  }
  if (exchange.fault != sim::Fault::None)
    text += std::string(" [fault: ") + sim::FaultName(exchange.fault) + "]";
  return text;
}
