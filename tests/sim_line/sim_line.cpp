#include "sim_line/sim_line.h"

#include <algorithm>
#include <cstring>

#include "platform/serial/line_timing.h"

namespace sim {

void SimDevice::Deliver(std::string_view bytes, uint64_t delayMicroseconds) {
  DeliverAt(SimLine::Get().NowMicroseconds() + delayMicroseconds, bytes);
}

void SimDevice::DeliverAt(uint64_t atMicroseconds, std::string_view bytes, const LineFlaws& flaws) {
  // Arrivals stay in time order; a character arrives when its last bit has.
  uint64_t at = std::max(atMicroseconds, input.empty() ? 0 : input.back().atMicroseconds);
  for (size_t i = 0; i < bytes.size(); ++i) {
    at += microsecondsPerCharacter;
    Arrival arrival{at, static_cast<unsigned char>(bytes[i])};
    arrival.damaged = std::find(flaws.damaged.begin(), flaws.damaged.end(), i) != flaws.damaged.end();
    arrival.overrunBefore = flaws.overrun && flaws.overrunAt == i;
    input.push_back(arrival);
  }
}

uint32_t SimDevice::OverrunsBy(uint64_t now) const {
  // An arrival at this very moment is an answer to what just happened, not
  // yet in the count.
  uint32_t count = overrunsGone;
  for (const Arrival& a : input) count += a.overrunBefore && a.atMicroseconds < now ? 1 : 0;
  return count;
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
  for (auto& slot : claims_.state) slot.store(0);
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
  return device == nullptr || device->unplugged || device->failing.count(service) != 0;
}

PortHandle SimLine::Open(const std::string& name) {
  uint32_t slot = 0;
  const PortHandle handle = ClaimPortSlot(&claims_, &slot);
  if (handle == kInvalidPort || OpenAs(handle, name)) return handle;
  ReleasePortSlot(&claims_, handle);
  return kInvalidPort;
}

bool SimLine::OpenAs(PortHandle port, const std::string& name) {
  SimDevice* device = Find(name);
  if (Fails(device, Service::Open, 0) || (device->isOpen && !device->admitsSeveralOpeners)) return false;
  device->isOpen = true;
  ++device->openers;
  device->configured = false;
  device->timeouts = CommTimeouts{};
  handles_[port] = device;
  return true;
}

void SimLine::Forget(PortHandle port) {
  SimDevice* device = DeviceOf(port);
  if (device == nullptr) return;
  device->isOpen = --device->openers > 0;
  handles_.erase(port);
}

void SimLine::Release(PortHandle port) { ReleasePortSlot(&claims_, port); }

bool SimLine::Close(PortHandle port) {
  SimDevice* device = DeviceOf(port);
  Log(Service::Close, device, 0, 0);
  // A device that has gone is let go of all the same.
  if (device == nullptr || device->failing.count(Service::Close)) return false;
  device->isOpen = --device->openers > 0;
  handles_.erase(port);
  ReleasePortSlot(&claims_, port);
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

SimLine::Departed SimLine::Depart(SimDevice* device) {
  Departed departed;
  while (device != nullptr && !device->transmitterHeld && !device->transmitting.empty() &&
         device->transmitting.front().doneMicroseconds <= now_) {
    departed.lastDone = device->transmitting.front().doneMicroseconds;
    departed.bytes += device->transmitting.front().byte;
    if (device->echoMicroseconds >= 0) {
      // Heard back as it left, its echo arriving one character time on.
      device->DeliverAt(
          departed.lastDone + static_cast<uint64_t>(device->echoMicroseconds) -
              std::min<uint64_t>(device->microsecondsPerCharacter,
                                 departed.lastDone + static_cast<uint64_t>(device->echoMicroseconds)),
          std::string_view(&departed.bytes.back(), 1));
    }
    device->transmitting.pop_front();
  }
  if (device != nullptr && device->keepWrites) device->delivered += departed.bytes;
  return departed;
}

void SimLine::Answer(SimDevice* device, const Departed& departed) {
  if (device == nullptr || departed.bytes.empty() || !device->responder) return;
  // The far end answers from the moment the last character reached it.
  const uint64_t now = now_;
  now_ = departed.lastDone;
  device->responder(*device, departed.bytes);
  now_ = now;
}

void SimLine::Transmit(SimDevice* device) { Answer(device, Depart(device)); }

uint32_t SimLine::OutputQueued(PortHandle port) {
  SimDevice* device = DeviceOf(port);
  if (device == nullptr) return 0;
  Transmit(device);
  const auto pending = static_cast<uint32_t>(device->transmitting.size());
  return pending > device->transmitFifo ? pending - device->transmitFifo : 0;
}

uint32_t SimLine::Overruns(PortHandle port) {
  SimDevice* device = DeviceOf(port);
  if (device == nullptr) return 0;
  Transmit(device);
  return device->OverrunsBy(now_);
}

uint32_t SimLine::CharacterNanoseconds(PortHandle port) {
  SimDevice* device = DeviceOf(port);
  if (device == nullptr || !device->configured) return 0;
  if (device->microsecondsPerCharacter != 0)
    return static_cast<uint32_t>(device->microsecondsPerCharacter * 1000);
  const LineSettings& s = device->settings;
  return ::CharacterNanoseconds(s.baudRate, s.byteSize, s.parity, s.stopBits);
}

bool SimLine::CountWaitingInput(PortHandle port, uint32_t* waiting) {
  SimDevice* device = DeviceOf(port);
  Transmit(device);
  uint32_t count = 0;
  if (device != nullptr) {
    for (const Arrival& a : device->input) count += a.atMicroseconds <= now_ ? 1 : 0;
  }
  if (Fails(device, Service::CountWaitingInput, 0, count)) return false;
  *waiting = count;
  return true;
}

bool SimLine::Read(PortHandle port, void* buffer, uint32_t count, uint32_t* received, uint32_t limitMs) {
  *received = 0;
  ++readRequests_;
  SimDevice* device = DeviceOf(port);
  Transmit(device);
  if (device == nullptr || device->unplugged || device->failing.count(Service::Read)) {
    Log(Service::Read, device, count, 0);
    return false;
  }
  // Total time-out only: the request ends when all bytes are in, or T after
  // it began. With T = 0 it would wait for ever; here it ends with what the
  // line will ever bring.
  uint64_t totalMs = device->timeouts.readTotalConstant;
  if (limitMs != kPortReadTimeout && (totalMs == 0 || limitMs < totalMs))
    totalMs = std::max<uint32_t>(limitMs, 1);
  const uint64_t deadline = totalMs == 0 ? UINT64_MAX : now_ + totalMs * 1000;
  auto* bytes = static_cast<unsigned char*>(buffer);
  uint64_t finished = now_;
  const bool marked = device->settings.markDamaged;
  while (*received < count && !device->input.empty() && device->input.front().atMicroseconds <= deadline) {
    const Arrival& arrival = device->input.front();
    finished = std::max(finished, arrival.atMicroseconds);
    bytes[(*received)++] = arrival.damaged && marked ? device->settings.errorChar : arrival.byte;
    device->overrunsGone += arrival.overrunBefore ? 1 : 0;
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
  Transmit(device);
  if (Fails(device, Service::Write, count)) return false;
  const uint32_t moved = std::min(count, device->writeLimit);
  const std::string_view frame(static_cast<const char*>(bytes), moved);
  if (device->keepWrites) {
    device->written += frame;
    device->writes.emplace_back(frame);
  }
  uint64_t leaves = device->transmitting.empty() ? now_ : device->transmitting.back().doneMicroseconds;
  for (char c : frame) {
    leaves += device->microsecondsPerCharacter;
    device->transmitting.push_back({leaves, c});
  }
  *written = moved;
  return true;
}

bool SimLine::WriteDrained(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
                           uint32_t* waitingWhenSent) {
  *waitingWhenSent = 0;
  if (!Write(port, bytes, count, written)) return false;
  SimDevice* device = DeviceOf(port);
  if (!device->transmitting.empty()) now_ = std::max(now_, device->transmitting.back().doneMicroseconds);
  // What had come by the moment the frame left, its own echo included; not
  // the far end's answer, which can only begin then.
  const Departed departed = Depart(device);
  for (const Arrival& a : device->input) *waitingWhenSent += a.atMicroseconds <= now_ ? 1 : 0;
  Answer(device, departed);
  return true;
}

bool SimLine::SetRts(PortHandle port, bool on) {
  SimDevice* device = DeviceOf(port);
  Transmit(device);
  if (Fails(device, Service::SetRts, on ? 1 : 0)) return false;
  if (on) device->ctsPollsSinceRaise = 0;  // the CTS schedule counts from each raise
  if (!on) {
    // The converter stops driving the line: what has not left is lost.
    device->charactersCutOff += static_cast<uint32_t>(device->transmitting.size());
    device->transmitting.clear();
  }
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
