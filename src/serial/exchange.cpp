#include "serial/exchange.h"

#include "platform/host/host_report.h"
#include "serial/serial_port.h"

void RtsOn(PortHandle port) {
  if (!SysSetRts(port, true)) ReportToHost(HostReport::RtsOnFailed);
}

void RtsOff(PortHandle port) {
  if (!SysSetRts(port, false)) ReportToHost(HostReport::RtsOffFailed);
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

bool SendFrame(PortHandle port, const char* bytes, uint32_t length) {
  RtsOn(port);
  // Stray bytes from an earlier exchange must not be taken for the reply.
  CommFlushInput(port);  // the drain's own result changes nothing here
  const bool ctsSeen = WaitForCts(port);
  CommStatus status = CommStatus::IoFailed;
  uint32_t written = 0;
  if (ctsSeen) status = CommWrite(port, bytes, length, &written);
  // The write returns once the bytes have left the transmitter (the POSIX
  // foundation drains it), so the line can be released at once.
  RtsOff(port);
  return ctsSeen && status == CommStatus::Ok && written == length;
}

bool ReceiveFrame(PortHandle port, char* buffer, uint32_t length) {
  uint32_t received = 0;
  const CommStatus status = CommRead(port, buffer, length, &received);
  RtsOff(port);
  return status == CommStatus::Ok && received == length;
}
