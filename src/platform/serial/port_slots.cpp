#include "platform/serial/port_slots.h"

namespace {

// A handle: the generation above, the slot's number plus 1 in the low bits
// (never 0, and never all ones: kInvalidPort).
constexpr uint32_t kSlotBits = 9;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
constexpr uint32_t kGenerationMask = (1u << (32 - kSlotBits)) - 1;
static_assert(kPortSlots < kSlotMask);

}  // namespace

PortHandle ClaimPortSlot(PortSlotClaims* claims, uint32_t* index) {
  for (uint32_t i = 0; i < kPortSlots; ++i) {
    uint32_t state = claims->state[i].load(std::memory_order_acquire);
    if ((state & 1) == 0 &&
        claims->state[i].compare_exchange_strong(state, state | 1, std::memory_order_acq_rel)) {
      *index = i;
      return ((state >> 1) << kSlotBits) | (i + 1);
    }
  }
  return kInvalidPort;
}

bool FindPortSlot(const PortSlotClaims& claims, PortHandle port, uint32_t* index) {
  const uint32_t slot = (port & kSlotMask) - 1;
  if (port == kNoPort || port == kInvalidPort || slot >= kPortSlots) return false;
  if (claims.state[slot].load(std::memory_order_acquire) != (((port >> kSlotBits) << 1) | 1)) return false;
  *index = slot;
  return true;
}

void ReleasePortSlot(PortSlotClaims* claims, PortHandle port) {
  uint32_t index = 0;
  if (!FindPortSlot(*claims, port, &index)) return;
  const uint32_t generation = port >> kSlotBits;
  claims->state[index].store(((generation + 1) & kGenerationMask) << 1, std::memory_order_release);
}
