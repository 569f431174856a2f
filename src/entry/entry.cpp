// The module's one export and the opcode table behind it.
#include "entry/handlers.h"

namespace {

// 17 slots: opcodes 0 to 16, each with its handler or none.
constexpr uint32_t kOpcodeSlots = 17;

struct OpcodeTable {
  RequestHandler handlers[kOpcodeSlots] = {};

  constexpr OpcodeTable() {
    handlers[QVO_OP_OPEN_CHANNEL] = OpenChannel;
    handlers[QVO_OP_FLUSH_INPUT] = FlushChannel;
    handlers[QVO_OP_VALIDATE_POINT] = ParsePointAddress;
    handlers[QVO_OP_CHECK_BLOCK_POINT] = CheckBlockAddress;
    handlers[QVO_OP_READ_VALUE] = ReadValue;
    handlers[QVO_OP_READ_BLOCK] = ReadBlock;
    handlers[QVO_OP_WRITE_VALUE] = WriteValue;
    handlers[QVO_OP_UNSUPPORTED] = RejectRequest;
    handlers[QVO_OP_CLOSE_CHANNEL] = CloseChannel;
    handlers[QVO_OP_CLOSE_CHANNEL_ALIAS] = CloseChannel;
    handlers[QVO_OP_REOPEN_CHANNEL] = ReopenChannel;
    handlers[QVO_OP_DRIVER_INFO] = GetDriverInfo;
    handlers[QVO_OP_RECONFIGURE_CHANNEL] = ReconfigureChannel;
  }
};

constexpr OpcodeTable kOpcodeTable;

}  // namespace

extern "C" QVO_API QvoStatus QVO_CALL QvoMain(QvoRequest* request) {
  // An opcode without a handler, inside the table or beyond it, is refused
  // without touching anything.
  if (request == nullptr || request->opcode >= kOpcodeSlots) return QVO_STATUS_REJECTED;
  RequestHandler handler = kOpcodeTable.handlers[request->opcode];
  if (handler == nullptr) return QVO_STATUS_REJECTED;
  return handler(request);
}
