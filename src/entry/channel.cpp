#include "entry/channel.h"

#include <cstdio>
#include <cstring>

#include "entry/handlers.h"
#include "entry/station_file.h"
#include "platform/host/host_report.h"
#include "serial/serial_port.h"

namespace {

bool HasTerminator(const char* name, size_t size) { return std::memchr(name, '\0', size) != nullptr; }

// Closes the channel's port; the handle stays when the close fails.
CommStatus ClosePort(QvoChannel* channel) {
  const CommStatus status = CommClose(channel->port);
  if (status == CommStatus::Ok) channel->port = kNoPort;
  return status;
}

// Gives the channel the port just opened. A port it held before is closed
// then, and not before: a failed open leaves the channel its port, and no
// descriptor or lock outlives the channel's handle of it.
void HoldPort(QvoChannel* channel, PortHandle port) {
  // Whatever the close answers, the channel holds the new port from here.
  if (channel->port != kNoPort && channel->port != port) CommClose(channel->port);
  channel->port = port;
}

// A name without its terminator (from the host, or a channel whose name was
// never set) names no port. `why` (may be null) gets the system's reason
// for a failure.
CommStatus OpenPort(const PortSpec& portSpec, PortHandle* port, SysResult* why = nullptr) {
  if (!HasTerminator(portSpec.portName, sizeof portSpec.portName)) return CommStatus::CannotOpen;
  return CommOpen(portSpec.portName, SettingsOf(portSpec.lineParams), portSpec.openFlags, port, why);
}

// Why a port did not open, in the host's words. Windows answers "access
// denied" for a port that another program holds, so only POSIX systems
// give PermissionDenied.
constexpr const char* kFaultWords[] = {
    "",                                                  // None
    "not found",                                         // NotFound
    "held by another program",                           // Busy
    "permission denied: add the user to group dialout",  // PermissionDenied
    "not a serial device",                               // NotSerial
    "line settings refused",                             // SettingsRefused
    "device gone",                                       // Gone
    "refused by the system",                             // Failed
};
static_assert(sizeof kFaultWords / sizeof kFaultWords[0] == static_cast<size_t>(SysFault::Failed) + 1);

// Tells the host why its port did not open, with the system's own code,
// once, after the report that it did not.
void TellWhyPortFailed(const char* portName, const SysResult& why) {
  if (why.ok()) return;
  const char* words = kFaultWords[static_cast<size_t>(why.fault)];
  char reason[96];
  if (why.systemCode != 0) {
    std::snprintf(reason, sizeof reason, "%s (%s %u)", words, kSysCodeName,
                  static_cast<unsigned>(why.systemCode));
  } else {
    std::snprintf(reason, sizeof reason, "%s", words);
  }
  ReportToHost(HostReport::PortOpenReason, kDriverName, portName, reason);
}

}  // namespace

PortSettings SettingsOf(const LineParams& line) {
  return {line.baudRate, static_cast<uint8_t>(line.dataBits), static_cast<uint8_t>(line.stopBits),
          static_cast<uint8_t>(line.parity)};
}

ShownPortName ShownNameOf(const char (&portName)[QVO_PORT_NAME_SIZE]) {
  ShownPortName shown;
  std::memcpy(shown.text, portName, QVO_PORT_NAME_SIZE);
  shown.text[QVO_PORT_NAME_SIZE] = '\0';
  return shown;
}

QvoStatus OpenChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  const auto* block = static_cast<const QvoOpenParams*>(request->params);
  if (channel == nullptr || block == nullptr) return QVO_STATUS_REJECTED;

  channel->active = block->enable;
  if (block->enable == 0) return QVO_STATUS_OK;

  PortSpec portSpec;
  std::memcpy(portSpec.portName, block->portName, sizeof portSpec.portName);
  portSpec.lineParams = block->lineParams;
  portSpec.openFlags = kChannelOpenFlags;

  PortHandle port = kNoPort;
  SysResult why = kSysDone;
  if (OpenPort(portSpec, &port, &why) != CommStatus::Ok) {
    const ShownPortName shown = ShownNameOf(portSpec.portName);
    // Hosts may match the first report as it has always read.
    ReportToHost(HostReport::PortOpenFailed, kDriverName, shown.text);
    TellWhyPortFailed(shown.text, why);
    return QVO_STATUS_NO_ANSWER;
  }
  HoldPort(channel, port);
  CommTellCaptureTrouble(port);
  CommSetReadTimeout(port, block->timeout);  // returns the previous time-out, not needed here
  channel->portSpec = portSpec;
  channel->readTimeout = block->timeout;
  channel->stationAddress = LoadStationAddress(request->lineNumber);
  return QVO_STATUS_OK;
}

QvoStatus FlushChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  if (channel == nullptr) return QVO_STATUS_REJECTED;
  if (channel->port != kNoPort) CommFlushInput(channel->port);  // a failed drain is no failure to report
  return QVO_STATUS_OK;
}

QvoStatus CloseChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  if (channel == nullptr) return QVO_STATUS_REJECTED;
  if (channel->port == kNoPort) return QVO_STATUS_OK;
  return ClosePort(channel) == CommStatus::Ok ? QVO_STATUS_OK : QVO_STATUS_NO_ANSWER;
}

QvoStatus ReopenChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  if (channel == nullptr) return QVO_STATUS_REJECTED;
  PortHandle port = kNoPort;
  if (OpenPort(channel->portSpec, &port) != CommStatus::Ok) return QVO_STATUS_NO_ANSWER;
  // The reopened port keeps the read time-out the open gives it.
  HoldPort(channel, port);
  CommTellCaptureTrouble(port);
  channel->active = 1;
  return QVO_STATUS_OK;
}

QvoStatus ReconfigureChannel(QvoRequest* request) {
  QvoChannel* channel = request->channel;
  const auto* block = static_cast<const QvoReconfigureParams*>(request->params);
  if (channel == nullptr || block == nullptr) return QVO_STATUS_REJECTED;
  // The name must fit the channel's 12 bytes with its terminator.
  if (!HasTerminator(block->portName, QVO_PORT_NAME_SIZE)) return QVO_STATUS_REJECTED;

  PortSpec& stored = channel->portSpec;
  if (std::strncmp(block->portName, stored.portName, QVO_PORT_NAME_SIZE) != 0 && channel->port != kNoPort) {
    ClosePort(channel);  // the new port is opened whatever became of the old one
  }
  std::memcpy(stored.portName, block->portName, QVO_PORT_NAME_SIZE);
  if (block->lineParams.baudRate != 0) stored.lineParams = block->lineParams;

  PortHandle port = kNoPort;
  if (OpenPort(stored, &port) != CommStatus::Ok) return QVO_STATUS_NO_ANSWER;
  HoldPort(channel, port);
  channel->active = 1;
  CommSetReadTimeout(port, channel->readTimeout);
  return QVO_STATUS_OK;
}
