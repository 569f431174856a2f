#include "serial/exchange.h"

#include "entry/host_report.h"
#include "serial/serial_port.h"
#include "serial/system_services.h"

void RtsOn(PortHandle port) {
  if (!SysSetRts(port, true)) ReportToHost(kHostReportCode, " QvoTK: Fail to set RTS to on");
}

void RtsOff(PortHandle port) {
  if (!SysSetRts(port, false)) ReportToHost(kHostReportCode, " QvoTK: Fail to set RTS to off");
}

bool WaitForCts(PortHandle port) {
  for (uint32_t poll = 0; poll < kCtsPolls; ++poll) {
    bool cts = false;
    // A status query that fails counts as CTS absent.
    if (SysReadCts(port, &cts) && cts) return true;
    SysSleepMilliseconds(1);
  }
  return false;
}

bool SendFrame(QvoChannel* channel, const char* bytes, uint32_t length) {
  const PortHandle port = channel->port;
  RtsOn(port);
  // Stray bytes from an earlier exchange must not be taken for the reply.
  CommFlushInput(port);  // the drain's own result changes nothing here
  const bool ctsSeen = WaitForCts(port);
  CommStatus status = kCommIoFailed;
  uint32_t written = 0;
  if (ctsSeen) status = CommWrite(port, bytes, length, &written);
  // The write returns once the bytes have left the transmitter (the POSIX
  // foundation drains it), so the line can be released at once.
  RtsOff(port);
  return ctsSeen && status == kCommOk && written == length;
}

bool ReceiveFrame(QvoChannel* channel, char* buffer, uint32_t length) {
  uint32_t received = 0;
  const CommStatus status = CommRead(channel->port, buffer, length, &received);
  RtsOff(channel->port);
  return status == kCommOk && received == length;
}
