// The open and reconfigure parameter blocks as the host might hand them
// over: port names without terminators, any line settings. Each block sits
// alone in memory of exactly its size, so a read past it is caught; the
// channel only ever holds no port or a port that is really open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_support.h"

namespace {

template <typename Block>
std::unique_ptr<Block> Take(const uint8_t*& data, size_t& size) {
  auto block = std::make_unique<Block>();
  const size_t n = std::min(size, sizeof(Block));
  std::memset(block.get(), 0, sizeof(Block));
  std::memcpy(block.get(), data, n);
  data += n;
  size -= n;
  return block;
}

void CheckPort(const QvoChannel& channel) {
  if (channel.port == kNoPort) return;
  const sim::SimDevice* device = sim::SimLine::Get().DeviceOf(channel.port);
  FUZZ_CHECK(device != nullptr && device->isOpen);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FreshLine();
  sim::SimLine::Get().AddDevice("COM2");
  sim::SimLine::Get().AddDevice("NUL");
  auto open = Take<QvoOpenParams>(data, size);
  auto reconfigure = Take<QvoReconfigureParams>(data, size);
  QvoChannel channel{};
  for (uint32_t opcode : {QVO_OP_OPEN_CHANNEL, QVO_OP_RECONFIGURE_CHANNEL, QVO_OP_FLUSH_INPUT,
                          QVO_OP_REOPEN_CHANNEL, QVO_OP_CLOSE_CHANNEL, QVO_OP_RECONFIGURE_CHANNEL,
                          QVO_OP_CLOSE_CHANNEL_ALIAS, QVO_OP_OPEN_CHANNEL, QVO_OP_CLOSE_CHANNEL}) {
    void* params = opcode == QVO_OP_OPEN_CHANNEL ? static_cast<void*>(open.get())
                                                 : static_cast<void*>(reconfigure.get());
    QvoRequest request{&channel, opcode, 1, 0, params};
    const QvoStatus status = QvoMain(&request);
    FUZZ_CHECK(status >= 0 && status <= 2);
    CheckPort(channel);
  }
  return 0;
}
