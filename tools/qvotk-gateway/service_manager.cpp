#include "service_manager.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <string>

namespace gateway {

void TellReady() { sd_notify(0, "READY=1"); }

void TellReloading() {
  // The time lets a manager that asks for it tell this reload from an older one.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t us = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
  sd_notify(0, ("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(us)).c_str());
}

void TellStopping() { sd_notify(0, "STOPPING=1"); }

uint64_t WatchdogIntervalUs() {
  uint64_t us = 0;
  return sd_watchdog_enabled(0, &us) > 0 ? us : 0;
}

void TellAlive() { sd_notify(0, "WATCHDOG=1"); }

}  // namespace gateway
