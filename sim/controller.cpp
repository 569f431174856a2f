#include "sim/controller.h"

#include <cstdio>

namespace sim {

namespace {

// Replies put a status byte first: "00" is success, its second character is
// the status character the driver checks.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusError = 0x01;
const std::string_view kStrayBytes("\x00\x7F#stray#", 9);  // no ":" among them

}  // namespace

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::None: return "none";
    case Fault::NoReply: return "no-reply";
    case Fault::ShortReply: return "short-reply";
    case Fault::StatusError: return "status-error";
    case Fault::BadChecksum: return "bad-checksum";
    case Fault::WrongBlockCount: return "wrong-block-count";
    case Fault::StrayBytes: return "stray-bytes";
    case Fault::Delay: return "delay";
    case Fault::Noise: return "noise";
    case Fault::Echo: return "echo";
  }
  return "?";
}

const char* FaultDescription(Fault fault) {
  switch (fault) {
    case Fault::None: return "the reply as it should be";
    case Fault::NoReply: return "the controller sends nothing";
    case Fault::ShortReply: return "the first half of the reply, then silence";
    case Fault::StatusError: return "the status character says \"1\": the controller refuses";
    case Fault::BadChecksum: return "the checksum byte off by one";
    case Fault::WrongBlockCount: return "a block reply with one value more than it should have";
    case Fault::StrayBytes: return "bytes without a \":\" on the line before the reply";
    case Fault::Delay: return "the reply comes --fault-delay-ms late";
    case Fault::Noise: return "bursts of frame-like bytes before, inside or after the reply";
    case Fault::Echo:
      return "the request heard back ahead of the reply, as a two-wire adapter hears itself; one in four cut";
  }
  return "?";
}

bool ParseFaultName(std::string_view name, Fault* fault) {
  for (int i = 0; i < kFaultKinds; ++i) {
    if (name == FaultName(static_cast<Fault>(i))) {
      *fault = static_cast<Fault>(i);
      return true;
    }
  }
  return false;
}

void TovekController::Drift() {
  sPoint = static_cast<uint8_t>((sPoint + 1) % 10);
  for (uint8_t& value : points) ++value;
  for (uint8_t& value : block) ++value;
}

std::string TovekController::Answer(const DecodedRequest& request, Fault fault) {
  const uint8_t status = fault == Fault::StatusError ? kStatusError : kStatusOk;
  const std::vector<uint8_t>& in = request.body;
  const uint8_t a1 = in[1], a2 = in[2];
  std::vector<uint8_t> body;

  if (request.command == kCommandWriteSPoint && in.size() == 4) {
    // The value digit travels in the high nibble: "30" is 3.
    if (status == kStatusOk) sPoint = static_cast<uint8_t>(in[3] >> 4);
    body = {status, a1, a2, in[3]};
  } else if (request.command == kCommandSPoint && in.size() == 5 && in[3] == kCodeReadSPoint) {
    body = {status, a1, a2, kCodeReadSPoint, 0x00, sPoint, 0x00};
  } else if (request.command == kCommandPoint && in.size() == 6) {
    const int number = PointNumberOf(in);
    if (number < 0) return {};
    if (in[3] == kCodeRead) {
      body = {status, a1, a2, kCodeRead, in[4], in[5], points[static_cast<size_t>(number)], 0x00};
    } else if (in[3] == kCodeWrite1 || in[3] == kCodeWrite2) {
      if (status == kStatusOk) points[static_cast<size_t>(number)] = static_cast<uint8_t>(in[3] - 0x70);
      body = {status, a1, a2, in[3], in[4], in[5]};
    } else {
      return {};
    }
  } else if (request.command == kCommandBlock && in.size() == 4 && in[3] == kCodeRead) {
    body = block;  // no status byte: the first body byte is the first value
    if (fault == Fault::WrongBlockCount) body.push_back(0x5A);
  } else {
    return {};
  }

  std::string reply = EncodeFrame(body);
  if (fault == Fault::BadChecksum) {
    // The checksum byte sits just before CR LF.
    const size_t at = reply.size() - 4;
    const int value = (ByteAt(reply, at) + 1) & 0xFF;
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", value);
    reply[at] = hex[0];
    reply[at + 1] = hex[1];
  }
  if (fault == Fault::ShortReply) reply.resize(reply.size() / 2);
  if (fault == Fault::StrayBytes) reply = std::string(kStrayBytes) + reply;
  return reply;
}

}  // namespace sim
