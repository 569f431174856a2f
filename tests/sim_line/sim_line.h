// A simulated serial line for tests: devices by name, a virtual clock that
// read time-outs and sleeps advance, input bytes that arrive at given
// virtual times, modem lines with a CTS schedule, failures on demand, and a
// log of every service call in order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial/port_slots.h"
#include "platform/serial/serial_services.h"
#include "sim/controller_bus.h"

namespace sim {

enum class Service {
  Open,
  Close,
  ReadLineState,
  WriteLineState,
  ReadTimeouts,
  WriteTimeouts,
  SetQueueSizes,
  CountWaitingInput,
  Read,
  Write,
  SetRts,
  ReadCts,
  Sleep,
};

struct ServiceCall {
  Service service;
  std::string device;
  uint64_t atMicroseconds;
  uint32_t argument;  // bytes asked for, bytes written, RTS state, sleep length
  uint32_t result;    // bytes moved, waiting count, CTS state
};

struct SimDevice;

// Called with the bytes the driver wrote, at the virtual time the last of
// them left the line; schedules any answer with SimDevice::Deliver.
using Responder = std::function<void(SimDevice& device, std::string_view bytes)>;

// A character on its way to the driver: when it has arrived, and what the
// line did to it.
struct Arrival {
  uint64_t atMicroseconds;
  unsigned char byte;
  bool damaged = false;        // a parity or framing error
  bool overrunBefore = false;  // input was lost just before it: the device counts an overrun
};

// A character the driver's UART is sending: when its last stop bit leaves.
struct Departure {
  uint64_t doneMicroseconds;
  char byte;
};

struct SimDevice {
  std::string name;
  bool isOpen = false;
  // The device has gone (an adapter pulled): every service on it fails, as
  // the system answers for a device that is not there, and it cannot be
  // opened until it is back.
  bool unplugged = false;
  // A device that admits several openers at once (the null device does);
  // how many hold it.
  bool admitsSeveralOpeners = false;
  uint32_t openers = 0;
  bool isSerial = true;  // false: its line settings cannot be read
  std::set<Service> failing;
  // Line settings the device refuses; by default anything Windows refuses.
  std::function<bool(const LineSettings&)> refuses;

  // What the driver configured.
  bool configured = false;
  LineSettings settings{};
  CommTimeouts timeouts{};
  uint32_t inputQueue = 0;
  uint32_t outputQueue = 0;

  // Modem lines. CTS answers from the n-th poll after RTS was raised
  // (1: at once, 0: never); rtsFailing makes both RTS switches fail.
  bool rts = false;
  uint32_t ctsFromPoll = 1;
  uint32_t ctsPollsSinceRaise = 0;

  // Each write moves `writeLimit` bytes at most (a short write), or all.
  uint32_t writeLimit = UINT32_MAX;
  // Each character on the wire costs this long, both ways.
  uint64_t microsecondsPerCharacter = 0;

  // The driver's transmitter: characters leave one character time apart
  // and reach the far end (the responder) once their last stop bit has
  // left. Those still queued or shifting when RTS clears never do. The
  // device driver's queue holds what the UART's FIFO of this depth has not
  // taken yet; a USB adapter takes a whole frame at once.
  uint32_t transmitFifo = 16;
  // A peer that holds the transmitter (hardware flow control it never
  // releases): nothing leaves.
  bool transmitterHeld = false;
  std::deque<Departure> transmitting;
  uint32_t charactersCutOff = 0;  // lost to an early RTS clear
  // A two-wire adapter that hears its own transmitter: each character sent
  // comes back this long after it left (negative: none).
  int64_t echoMicroseconds = -1;

  std::deque<Arrival> input;
  std::string written;  // everything the driver wrote, in order
  std::vector<std::string> writes;
  std::string delivered;   // what reached the far end, in order
  bool keepWrites = true;  // benchmarks keep nothing
  Responder responder;

  // Schedules `bytes` to arrive, the first `delay` from now, then one
  // character time apart (all at once on an unpaced line).
  void Deliver(std::string_view bytes, uint64_t delayMicroseconds = 0);
  void DeliverAt(uint64_t atMicroseconds, std::string_view bytes, const LineFlaws& flaws = {});
  // Overruns the device has counted by `now`.
  uint32_t OverrunsBy(uint64_t now) const;
  uint32_t overrunsGone = 0;  // counted for arrivals already read
};

class SimLine {
 public:
  // The one simulated line the serial services of a test binary talk to.
  static SimLine& Get();

  void Reset();
  SimDevice& AddDevice(const std::string& name);
  SimDevice* Find(const std::string& name);
  SimDevice* DeviceOf(PortHandle port);

  uint64_t NowMicroseconds() const { return now_; }
  uint64_t NowMilliseconds() const { return now_ / 1000; }
  void Advance(uint64_t microseconds) { now_ += microseconds; }

  const std::vector<ServiceCall>& Calls() const { return calls_; }
  // Benchmarks switch the call log off; the read count is kept either way.
  void SetLogging(bool on) { logging_ = on; }
  uint64_t ReadRequests() const { return readRequests_; }
  std::vector<Service> CallSequence() const;
  size_t CountCalls(Service service) const;
  void ClearCalls() { calls_.clear(); }

  // The services, as the platform boundary and the Win32 stand-in use them.
  // A handle names a slot of a fixed pool, as the foundations' do.
  PortHandle Open(const std::string& name);
  // Opens `name` under a handle the foundation keeps: a port found again.
  bool OpenAs(PortHandle port, const std::string& name);
  bool Close(PortHandle port);
  // The device behind a handle no longer held, as when the system closes a
  // descriptor of a device that has gone; no call is logged. The handle
  // keeps its slot until it is given back.
  void Forget(PortHandle port);
  void Release(PortHandle port);
  bool SlotOf(PortHandle port, uint32_t* slot) const { return FindPortSlot(claims_, port, slot); }
  bool ReadLineState(PortHandle port, LineSettings* settings);
  bool WriteLineState(PortHandle port, const LineSettings& settings);
  bool ReadTimeouts(PortHandle port, CommTimeouts* timeouts);
  bool WriteTimeouts(PortHandle port, const CommTimeouts& timeouts);
  void SetQueueSizes(PortHandle port, uint32_t input, uint32_t output);
  bool CountWaitingInput(PortHandle port, uint32_t* waiting);
  bool Read(PortHandle port, void* buffer, uint32_t count, uint32_t* received,
            uint32_t limitMs = kPortReadTimeout);
  // Hands the bytes to the transmitter and returns, as WriteFile does.
  bool Write(PortHandle port, const void* bytes, uint32_t count, uint32_t* written);
  // Returns once the last of them has left, as a drained POSIX write does;
  // `waitingWhenSent` counts the input that had come by then.
  bool WriteDrained(PortHandle port, const void* bytes, uint32_t count, uint32_t* written,
                    uint32_t* waitingWhenSent);
  // Characters the device driver still queues for the UART.
  uint32_t OutputQueued(PortHandle port);
  uint32_t Overruns(PortHandle port);
  uint32_t CharacterNanoseconds(PortHandle port);
  bool SetRts(PortHandle port, bool on);
  bool ReadCts(PortHandle port, bool* cts);
  void Sleep(uint32_t milliseconds);

 private:
  // The characters whose last stop bit has left by now: they reach the far
  // end (and come back as echo where the line has one); the far end then
  // answers them.
  struct Departed {
    std::string bytes;
    uint64_t lastDone = 0;
  };
  Departed Depart(SimDevice* device);
  void Answer(SimDevice* device, const Departed& departed);
  void Transmit(SimDevice* device);
  bool Fails(SimDevice* device, Service service, uint32_t argument, uint32_t result = 0);
  void Log(Service service, SimDevice* device, uint32_t argument, uint32_t result);

  uint64_t now_ = 0;
  std::map<std::string, std::unique_ptr<SimDevice>> devices_;
  std::map<PortHandle, SimDevice*> handles_;
  PortSlotClaims claims_{};
  std::vector<ServiceCall> calls_;
  bool logging_ = true;
  uint64_t readRequests_ = 0;
};

}  // namespace sim
