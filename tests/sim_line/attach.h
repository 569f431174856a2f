// Puts a bus of simulated controllers on a simulated line: what the driver
// writes reaches the controllers, their replies come back through the
// line's virtual clock, a character time apart on a paced line.
#pragma once

#include "sim/controller_bus.h"
#include "sim_line/sim_line.h"

namespace sim {

// Schedules the pieces of an answer, each its gap after the previous one
// ended; the first counts from now, the moment the request ended.
inline void DeliverPieces(SimDevice& device, const std::vector<LinePiece>& pieces) {
  uint64_t end = SimLine::Get().NowMicroseconds();
  for (const LinePiece& piece : pieces) {
    device.DeliverAt(end + piece.gapMicroseconds, piece.bytes, piece.flaws);
    if (!device.input.empty())
      end = std::max(end + piece.gapMicroseconds, device.input.back().atMicroseconds);
  }
}

inline void AttachBus(SimDevice& device, ControllerBus& bus) {
  device.responder = [&bus](SimDevice& line, std::string_view bytes) {
    for (const BusExchange& exchange : bus.Feed(bytes)) DeliverPieces(line, exchange.pieces);
  };
}

}  // namespace sim
