// The serial services of the test binaries: the simulated line, with the
// virtual clock for the system's. Like the platform foundations, they let
// go of a device that has gone at once; the port's handle stays, and the
// same handle is bound to the device when it is found again.
#include <cstring>

#include "platform/serial/serial_services.h"
#include "sim_line/sim_line.h"

using sim::SimLine;

static_assert(sizeof(LineSettings) <= sizeof(DeviceLineState::bytes));

namespace {

// What the foundation keeps of a port beside the line's own state, in the
// slot its handle names.
struct SimPort {
  bool gone;              // its device has gone; the handle stays
  CommTimeouts timeouts;  // as the port had them when its device went
};
SimPort g_ports[kPortSlots];

SimPort* Held(PortHandle port) {
  uint32_t slot = 0;
  return SimLine::Get().SlotOf(port, &slot) ? &g_ports[slot] : nullptr;
}

bool Lost(PortHandle port) {
  const SimPort* held = Held(port);
  return held != nullptr && held->gone;
}

// Lets go of a device that has gone, keeping the port's time-outs.
void LetGo(PortHandle port, const sim::SimDevice& device) {
  SimPort* held = Held(port);
  held->timeouts = device.timeouts;
  held->gone = true;
  SimLine::Get().Forget(port);
}

// A service's answer, judged: a device that has gone is let go of. The
// simulated line has no system codes.
SysResult Judged(PortHandle port, bool answered) {
  if (answered) return kSysDone;
  const sim::SimDevice* device = SimLine::Get().DeviceOf(port);
  if (device == nullptr || !device->unplugged) return {SysFault::Failed, 0};
  LetGo(port, *device);
  return {SysFault::Gone, 0};
}

constexpr SysResult kLost = {SysFault::Gone, 0};

// Why the line would not open `name`: no such device, one that another
// holds, or one made to fail.
SysResult OpenFailure(const char* name) {
  const sim::SimDevice* device = SimLine::Get().Find(name);
  if (device == nullptr || device->unplugged) return {SysFault::NotFound, 0};
  return {device->isOpen ? SysFault::Busy : SysFault::Failed, 0};
}

}  // namespace

const char kSysCodeName[] = "code";

SysResult SysOpenDevice(const char* name, PortHandle* port) {
  *port = SimLine::Get().Open(name);
  if (*port == kInvalidPort) return OpenFailure(name);
  *Held(*port) = SimPort{};
  return kSysDone;
}

bool SysCloseDevice(PortHandle port) {
  if (!Lost(port)) return SimLine::Get().Close(port);
  SimLine::Get().Release(port);
  return true;
}

bool SysPortSlot(PortHandle port, uint32_t* slot) { return SimLine::Get().SlotOf(port, slot); }

bool SysDeviceGone(PortHandle port) { return Lost(port); }

void SysLetDeviceGo(PortHandle port) {
  const sim::SimDevice* device = SimLine::Get().DeviceOf(port);
  if (!Lost(port) && device != nullptr) LetGo(port, *device);
}

SysResult SysReopenDevice(PortHandle port, const char* name) {
  if (!Lost(port)) return {SysFault::Failed, 0};
  if (!SimLine::Get().OpenAs(port, name)) return OpenFailure(name);
  SimPort* held = Held(port);
  held->gone = false;
  SimLine::Get().DeviceOf(port)->timeouts = held->timeouts;
  return kSysDone;
}

SysResult SysReadLineState(PortHandle port, DeviceLineState* state) {
  LineSettings settings{};
  if (Lost(port)) return kLost;
  if (!SimLine::Get().ReadLineState(port, &settings)) return {SysFault::NotSerial, 0};
  std::memcpy(state->bytes, &settings, sizeof settings);
  return kSysDone;
}

void SysApplyLineSettings(DeviceLineState* state, const LineSettings& settings) {
  std::memcpy(state->bytes, &settings, sizeof settings);
}

SysResult SysWriteLineState(PortHandle port, const DeviceLineState& state) {
  LineSettings settings;
  std::memcpy(&settings, state.bytes, sizeof settings);
  if (Lost(port)) return kLost;
  return SimLine::Get().WriteLineState(port, settings) ? kSysDone : SysResult{SysFault::SettingsRefused, 0};
}

bool SysReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  if (Lost(port)) {
    *timeouts = Held(port)->timeouts;
    return true;
  }
  return SimLine::Get().ReadTimeouts(port, timeouts);
}
bool SysWriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  return !Lost(port) && SimLine::Get().WriteTimeouts(port, timeouts);
}
void SysSetQueueSizes(PortHandle port, uint32_t input, uint32_t output) {
  if (!Lost(port)) SimLine::Get().SetQueueSizes(port, input, output);
}
bool SysCountWaitingInput(PortHandle port, uint32_t* waiting) {
  return !Lost(port) && Judged(port, SimLine::Get().CountWaitingInput(port, waiting)).ok();
}
SysResult SysRead(PortHandle port, void* buffer, uint32_t count, uint32_t* received, uint32_t limitMs) {
  *received = 0;
  if (Lost(port)) return kLost;
  return Judged(port, SimLine::Get().Read(port, buffer, count, received, limitMs));
}
// As the POSIX foundation on a UART: drained, and what was waiting then told.
SysResult SysWrite(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
                   uint32_t* waitingWhenSent) {
  *written = *waitingWhenSent = 0;
  if (Lost(port)) return kLost;
  return Judged(port, SimLine::Get().WriteDrained(port, bytes, count, written, waitingWhenSent));
}
uint32_t SysInputOverruns(PortHandle port) { return Lost(port) ? 0 : SimLine::Get().Overruns(port); }
uint32_t SysCharacterNanoseconds(PortHandle port) { return SimLine::Get().CharacterNanoseconds(port); }
int64_t SysNowMicroseconds() { return static_cast<int64_t>(SimLine::Get().NowMicroseconds()); }
bool SysSetRts(PortHandle port, bool on) {
  return !Lost(port) && Judged(port, SimLine::Get().SetRts(port, on)).ok();
}
bool SysReadCts(PortHandle port, bool* cts) {
  return !Lost(port) && Judged(port, SimLine::Get().ReadCts(port, cts)).ok();
}
void SysSleepMilliseconds(uint32_t milliseconds) { SimLine::Get().Sleep(milliseconds); }
