// The module's one export and the opcode table behind it.
#include "address/point_address.h"
#include "entry/channel.h"
#include "handlers.h"
#include "protocol/value_requests.h"

namespace {

constexpr uint32_t kOpcodeSlots = 17;

constexpr RequestHandler kOpcodeTable[kOpcodeSlots] = {
    /* 0 */ nullptr,
    /* 1 */ OpenChannel,
    /* 2 */ FlushChannel,
    /* 3 */ ParsePointAddress,
    /* 4 */ CheckBlockAddress,
    /* 5 */ ReadValue,
    /* 6 */ ReadBlock,
    /* 7 */ WriteValue,
    /* 8 */ nullptr,
    /* 9 */ nullptr,
    /* 10 */ RejectRequest,
    /* 11 */ CloseChannel,
    /* 12 */ CloseChannel,
    /* 13 */ ReopenChannel,
    /* 14 */ GetDriverInfo,
    /* 15 */ ReconfigureChannel,
    /* 16 */ nullptr,
};

}  // namespace

extern "C" QVO_EXPORT QvoStatus QVO_CALL QvoMain(QvoRequest* request) {
  // An opcode without a handler, inside the table or beyond it, is refused
  // without touching anything.
  if (request == nullptr || request->opcode >= kOpcodeSlots) return kStatusRejected;
  RequestHandler handler = kOpcodeTable[request->opcode];
  if (handler == nullptr) return kStatusRejected;
  return handler(request);
}
