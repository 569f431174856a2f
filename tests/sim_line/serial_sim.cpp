// The serial services of the test binaries: the simulated line, with the
// virtual clock for the system's.
#include <cstring>

#include "platform/serial/serial_services.h"
#include "sim_line/sim_line.h"

using sim::SimLine;

static_assert(sizeof(LineSettings) <= sizeof(DeviceLineState::bytes));

PortHandle SysOpenDevice(const char* name) { return SimLine::Get().Open(name); }
bool SysCloseDevice(PortHandle port) { return SimLine::Get().Close(port); }

bool SysReadLineState(PortHandle port, DeviceLineState* state) {
  LineSettings settings{};
  if (!SimLine::Get().ReadLineState(port, &settings)) return false;
  std::memcpy(state->bytes, &settings, sizeof settings);
  return true;
}

void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings) {
  std::memcpy(state->bytes, &settings, sizeof settings);
}

bool SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  LineSettings settings;
  std::memcpy(&settings, state.bytes, sizeof settings);
  return SimLine::Get().WriteLineState(port, settings);
}

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  return SimLine::Get().ReadTimeouts(port, timeouts);
}
bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  return SimLine::Get().WriteTimeouts(port, timeouts);
}
void SysSetQueueSizes(PortHandle port, uint32_t input, uint32_t output) {
  SimLine::Get().SetQueueSizes(port, input, output);
}
bool SysCountWaitingInput(PortHandle port, uint32_t* waiting) {
  return SimLine::Get().CountWaitingInput(port, waiting);
}
bool SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received, uint32_t limitMs) {
  return SimLine::Get().Read(port, buffer, count, received, limitMs);
}
// As the POSIX foundation on a UART: drained, and what was waiting then told.
bool SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
              uint32_t* waitingWhenSent) {
  return SimLine::Get().WriteDrained(port, bytes, count, written, waitingWhenSent);
}
uint32_t SysInputOverruns(PortHandle port) { return SimLine::Get().Overruns(port); }
uint32_t SysCharacterNanoseconds(PortHandle port) { return SimLine::Get().CharacterNanoseconds(port); }
int64_t SysNowMicroseconds() { return static_cast<int64_t>(SimLine::Get().NowMicroseconds()); }
bool SysSetRts(PortHandle port, bool on) { return SimLine::Get().SetRts(port, on); }
bool SysReadCts(PortHandle port, bool* cts) { return SimLine::Get().ReadCts(port, cts); }
void SysSleepMilliseconds(uint32_t milliseconds) { SimLine::Get().Sleep(milliseconds); }
