// The gateway's Modbus TCP server (libmodbus): holding registers mapped to
// points as configured, reads served from the last polled values, writes
// run on the line's worker with the answer waiting for the driver's result.
// Each client is served on a thread of its own, so that one that stalls
// mid-frame or sends garbage holds up nobody else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"

namespace gateway {

// Where a register leads.
struct RegisterTarget {
  std::string line;
  int station = 0;
  std::string point;
  int index = 0;  // within a block
  bool block = false;
  int maxAgeS = 10;
};

// What the server asks of the rest of the gateway.
class ModbusBackend {
 public:
  virtual ~ModbusBackend() = default;
  // The register's target; false for an unmapped address.
  virtual bool Target(int unit, int reg, RegisterTarget* target) = 0;
  // The value a register holds now; false when the point was never polled
  // or its last good value is older than the station allows.
  virtual bool Value(const RegisterTarget& target, uint16_t* value) = 0;
  // A write through the point's line, waited for: the driver's status, or
  // 64 for a point that cannot be written.
  virtual int Write(const RegisterTarget& target, uint16_t value) = 0;
};

class ModbusServer {
 public:
  ~ModbusServer();
  bool Start(const ModbusConfig& config, ModbusBackend* backend, std::string* error);
  void Stop();
  int port() const { return port_; }

 private:
  void Accept();
  void Serve(int socket);

  ModbusConfig config_;
  ModbusBackend* backend_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> clients_{0};
  std::thread acceptor_;
};

}  // namespace gateway
