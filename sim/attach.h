// Puts a bus of simulated controllers on a simulated line: what the driver
// writes reaches the controllers, their replies come back through the
// line's virtual clock, a character time apart on a paced line.
#pragma once

#include "sim/sim_line.h"
#include "sim/tovek_controller.h"

namespace sim {

inline void AttachBus(SimDevice& device, ControllerBus& bus) {
  device.responder = [&bus](SimDevice& line, std::string_view bytes) {
    for (const BusExchange& exchange : bus.Feed(bytes)) {
      if (!exchange.reply.empty()) line.Deliver(exchange.reply, exchange.delayMicroseconds);
    }
  };
}

}  // namespace sim
