// What the service manager is told, over NOTIFY_SOCKET: ready, reloading,
// stopping, and alive. Without that socket in the environment, as when the
// gateway runs by hand, each of these does nothing.
#pragma once

#include <cstdint>

namespace gateway {

void TellReady();
void TellReloading();
void TellStopping();

// The watchdog's interval in microseconds, 0 when none is asked for.
uint64_t WatchdogIntervalUs();
void TellAlive();

}  // namespace gateway
