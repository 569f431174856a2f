#include "entry/channel.h"

#include <cstdio>
#include <cstring>

#include "entry/host_report.h"
#include "entry/station_file.h"
#include "protocol/request_frames.h"
#include "serial/serial_port.h"

namespace {

constexpr char kDriverName[] = "TOVEK ";

bool HasTerminator(const char* name, size_t size) { return std::memchr(name, '\0', size) != nullptr; }

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Closes the channel's port; the handle stays when the close fails.
CommStatus ClosePort(QvoChannel* channel) {
  const CommStatus status = CommClose(channel->port);
  if (status == kCommOk) channel->port = kNoPort;
  return status;
}

// A name without its terminator (from the host, or a channel whose name was
// never set) names no port.
CommStatus OpenPort(const PortSpec& portSpec, PortHandle* port) {
  if (!HasTerminator(portSpec.portName, sizeof portSpec.portName)) return kCommCannotOpen;
  return CommOpen(portSpec.portName, &portSpec.lineParams, portSpec.openFlags, port);
}

}  // namespace

uint16_t ParseStationAddress(const char* text, uint32_t length) {
  uint32_t i = 0;
  while (i < length && text[i] != '=' && text[i] != '\0') ++i;
  if (i >= length || text[i] != '=') return kDefaultStationAddress;
  ++i;
  while (i < length && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= length || text[i] < '0' || text[i] > '9') return kDefaultStationAddress;
  uint32_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    if (value > kMaxStationAddress) return kUnaddressableStation;
  }
  if (negative && value != 0) return kUnaddressableStation;
  return static_cast<uint16_t>(value);
}

void LoadStationAddress(QvoChannel* channel, int32_t lineNumber) {
  channel->stationAddress = kDefaultStationAddress;
  char name[32];
  std::snprintf(name, sizeof name, "QVOTK%02d.int", static_cast<int>(lineNumber));
  char text[kStationFileBytes];
  uint32_t length = 0;
  if (!ReadStationFile(name, text, sizeof text, &length)) return;
  channel->stationAddress = ParseStationAddress(text, length);
}

QvoStatus OpenChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  const auto* block = static_cast<const QvoOpenParams*>(request->params);
  if (channel == nullptr || block == nullptr) return kStatusRejected;

  channel->active = block->enable;
  if (block->enable == 0) return kStatusOk;

  PortSpec portSpec;
  std::memcpy(portSpec.portName, block->portName, sizeof portSpec.portName);
  portSpec.lineParams = block->lineParams;
  portSpec.openFlags = kChannelOpenFlags;

  PortHandle port = kNoPort;
  if (OpenPort(portSpec, &port) != kCommOk) {
    char shown[kPortNameSize + 1];  // terminated even when the host's name is not
    std::memcpy(shown, portSpec.portName, kPortNameSize);
    shown[kPortNameSize] = '\0';
    ReportToHost(kHostReportCode, "QVO%s : Fail to open %s", kDriverName, shown);
    return kStatusNoAnswer;
  }
  channel->port = port;
  CommSetReadTimeout(port, block->timeout);  // returns the previous time-out, not needed here
  channel->portSpec = portSpec;
  channel->readTimeout = block->timeout;
  LoadStationAddress(channel, request->lineNumber);
  return kStatusOk;
}

QvoStatus FlushChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  if (channel == nullptr) return kStatusRejected;
  if (channel->port != kNoPort) CommFlushInput(channel->port);  // a failed drain is no failure to report
  return kStatusOk;
}

QvoStatus CloseChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  if (channel == nullptr) return kStatusRejected;
  if (channel->port == kNoPort) return kStatusOk;
  return ClosePort(channel) == kCommOk ? kStatusOk : kStatusNoAnswer;
}

QvoStatus ReopenChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  if (channel == nullptr) return kStatusRejected;
  PortHandle port = kNoPort;
  if (OpenPort(channel->portSpec, &port) != kCommOk) return kStatusNoAnswer;
  // The reopened port keeps the read time-out the open gives it.
  channel->port = port;
  channel->active = 1;
  return kStatusOk;
}

QvoStatus ReconfigureChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  const auto* block = static_cast<const QvoReconfigureParams*>(request->params);
  if (channel == nullptr || block == nullptr) return kStatusRejected;
  // The name must fit the channel's 12 bytes with its terminator.
  if (!HasTerminator(block->portName, kPortNameSize)) return kStatusRejected;

  PortSpec& stored = channel->portSpec;
  if (std::strncmp(block->portName, stored.portName, kPortNameSize) != 0 && channel->port != kNoPort) {
    ClosePort(channel);  // the new port is opened whatever became of the old one
  }
  std::memcpy(stored.portName, block->portName, kPortNameSize);
  if (block->lineParams.baudRate != 0) stored.lineParams = block->lineParams;

  PortHandle port = kNoPort;
  if (OpenPort(stored, &port) != kCommOk) return kStatusNoAnswer;
  channel->port = port;
  channel->active = 1;
  CommSetReadTimeout(port, channel->readTimeout);
  return kStatusOk;
}
