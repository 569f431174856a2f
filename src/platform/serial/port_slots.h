// The handles the foundations give out: a slot of a fixed pool and the
// slot's generation. The pool stands in for what a kernel keeps per open
// handle (time-outs, what the device can do, the settings to give back,
// whether its device is still there); with the serial layer's own record of
// each port under the same slot number, it is the driver's only state
// outside the host's records. A handle kept after its port was closed never
// reaches the next port in its slot. Slots are claimed and given back
// atomically; a slot's fields belong to the one port that holds it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/serial/serial_services.h"

struct PortSlotClaims {
  // Per slot: its generation shifted up one bit, and 1 while a port holds it.
  std::atomic<uint32_t> state[kPortSlots];
};

// Claims a free slot: its handle, with its number in `index`; kInvalidPort
// when all are held.
PortHandle ClaimPortSlot(PortSlotClaims* claims, uint32_t* index);
// The slot a handle of a port held now names; false for any other handle.
bool FindPortSlot(const PortSlotClaims& claims, PortHandle port, uint32_t* index);
// Gives the slot back; its next handle differs from this one.
void ReleasePortSlot(PortSlotClaims* claims, PortHandle port);
