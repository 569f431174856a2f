#include "sim/sim_line.h"

#include <algorithm>
#include <cstring>

#include "serial/serial_port.h"

namespace sim {

void SimDevice::Deliver(std::string_view bytes, uint64_t delayMicroseconds) {
  DeliverAt(SimLine::Get().NowMicroseconds() + delayMicroseconds, bytes);
}

void SimDevice::DeliverAt(uint64_t atMicroseconds, std::string_view bytes) {
  // Arrivals stay in time order; a character arrives when its last bit has.
  uint64_t at = std::max(atMicroseconds, input.empty() ? 0 : input.back().atMicroseconds);
  for (char c : bytes) {
    at += microsecondsPerCharacter;
    input.push_back({at, static_cast<unsigned char>(c)});
  }
}

SimLine& SimLine::Get() {
  static SimLine line;
  return line;
}

void SimLine::Reset() {
  now_ = 0;
  logging_ = true;
  readRequests_ = 0;
  devices_.clear();
  handles_.clear();
  calls_.clear();
  nextHandle_ = 0x100;
}

SimDevice& SimLine::AddDevice(const std::string& name) {
  auto device = std::make_unique<SimDevice>();
  device->name = name;
  // Windows refuses data bits outside 5-8 and codes it does not know.
  device->refuses = [](const LineSettings& s) {
    return s.byteSize < 5 || s.byteSize > 8 || s.parity > 4 || s.stopBits > 2 || s.baudRate == 0;
  };
  SimDevice& ref = *device;
  devices_[name] = std::move(device);
  return ref;
}

SimDevice* SimLine::Find(const std::string& name) {
  auto it = devices_.find(name);
  return it == devices_.end() ? nullptr : it->second.get();
}

SimDevice* SimLine::DeviceOf(PortHandle port) {
  auto it = handles_.find(port);
  return it == handles_.end() ? nullptr : it->second;
}

std::vector<Service> SimLine::CallSequence() const {
  std::vector<Service> sequence;
  for (const auto& call : calls_) sequence.push_back(call.service);
  return sequence;
}

size_t SimLine::CountCalls(Service service) const {
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                           [service](const ServiceCall& c) { return c.service == service; }));
}

void SimLine::Log(Service service, SimDevice* device, uint32_t argument, uint32_t result) {
  if (!logging_) return;
  calls_.push_back({service, device ? device->name : std::string(), now_, argument, result});
}

bool SimLine::Fails(SimDevice* device, Service service, uint32_t argument, uint32_t result) {
  Log(service, device, argument, result);
  return device == nullptr || device->failing.count(service) != 0;
}

PortHandle SimLine::Open(const std::string& name) {
  SimDevice* device = Find(name);
  if (Fails(device, Service::Open, 0) || (device->isOpen && !device->admitsSeveralOpeners))
    return kInvalidPort;
  device->isOpen = true;
  ++device->openers;
  device->configured = false;
  device->timeouts = CommTimeouts{};
  const PortHandle handle = nextHandle_++;
  handles_[handle] = device;
  return handle;
}

bool SimLine::Close(PortHandle port) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::Close, 0)) return false;
  device->isOpen = --device->openers > 0;
  handles_.erase(port);
  return true;
}

bool SimLine::ReadLineState(PortHandle port, LineSettings* settings) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::ReadLineState, 0) || !device->isSerial) return false;
  *settings = device->settings;
  return true;
}

bool SimLine::WriteLineState(PortHandle port, const LineSettings& settings) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::WriteLineState, 0) || !device->isSerial) return false;
  if (device->refuses && device->refuses(settings)) return false;
  device->settings = settings;
  device->configured = true;
  // RTS control enabled asserts RTS from now on; disabled clears it.
  if (settings.rts == LineControl::Enable) device->rts = true;
  if (settings.rts == LineControl::Disable) device->rts = false;
  return true;
}

bool SimLine::ReadTimeouts(PortHandle port, CommTimeouts* timeouts) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::ReadTimeouts, 0)) return false;
  *timeouts = device->timeouts;
  return true;
}

bool SimLine::WriteTimeouts(PortHandle port, const CommTimeouts& timeouts) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::WriteTimeouts, timeouts.readTotalConstant)) return false;
  device->timeouts = timeouts;
  return true;
}

void SimLine::SetQueueSizes(PortHandle port, uint32_t input, uint32_t output) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::SetQueueSizes, input)) return;
  device->inputQueue = input;
  device->outputQueue = output;
}

bool SimLine::CountWaitingInput(PortHandle port, uint32_t* waiting) {
  SimDevice* device = DeviceOf(port);
  uint32_t count = 0;
  if (device != nullptr) {
    for (const Arrival& a : device->input) count += a.atMicroseconds <= now_ ? 1 : 0;
  }
  if (Fails(device, Service::CountWaitingInput, 0, count)) return false;
  *waiting = count;
  return true;
}

bool SimLine::Read(PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
  *received = 0;
  ++readRequests_;
  SimDevice* device = DeviceOf(port);
  if (device == nullptr || device->failing.count(Service::Read)) {
    Log(Service::Read, device, count, 0);
    return false;
  }
  // Total time-out only: the request ends when all bytes are in, or T after
  // it began. With T = 0 it would wait for ever; here it ends with what the
  // line will ever bring.
  const uint64_t totalMs = device->timeouts.readTotalConstant;
  const uint64_t deadline = totalMs == 0 ? UINT64_MAX : now_ + totalMs * 1000;
  auto* bytes = static_cast<unsigned char*>(buffer);
  uint64_t finished = now_;
  while (*received < count && !device->input.empty() && device->input.front().atMicroseconds <= deadline) {
    finished = std::max(finished, device->input.front().atMicroseconds);
    bytes[(*received)++] = device->input.front().byte;
    device->input.pop_front();
  }
  const uint64_t started = now_;
  if (*received == count) {
    now_ = finished;
  } else if (deadline != UINT64_MAX) {
    now_ = deadline;
  }
  if (logging_) calls_.push_back({Service::Read, device->name, started, count, *received});
  return true;
}

bool SimLine::Write(PortHandle port, const void* bytes, uint32_t count, uint32_t* written) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::Write, count)) return false;
  const uint32_t moved = std::min(count, device->writeLimit);
  const std::string frame(static_cast<const char*>(bytes), moved);
  if (device->keepWrites) {
    device->written += frame;
    device->writes.push_back(frame);
  }
  // The write returns once the characters have left the line.
  now_ += device->microsecondsPerCharacter * moved;
  *written = moved;
  if (device->responder) device->responder(*device, frame);
  return true;
}

bool SimLine::SetRts(PortHandle port, bool on) {
  SimDevice* device = DeviceOf(port);
  if (Fails(device, Service::SetRts, on ? 1 : 0)) return false;
  if (on) device->ctsPollsSinceRaise = 0;  // the CTS schedule counts from each raise
  device->rts = on;
  return true;
}

bool SimLine::ReadCts(PortHandle port, bool* cts) {
  SimDevice* device = DeviceOf(port);
  bool state = false;
  if (device != nullptr) {
    ++device->ctsPollsSinceRaise;
    state = device->ctsFromPoll != 0 && device->ctsPollsSinceRaise >= device->ctsFromPoll;
  }
  if (Fails(device, Service::ReadCts, 0, state ? 1 : 0)) return false;
  *cts = state;
  return true;
}

void SimLine::Sleep(uint32_t milliseconds) {
  Log(Service::Sleep, nullptr, milliseconds, 0);
  now_ += static_cast<uint64_t>(milliseconds) * 1000;
}

}  // namespace sim
