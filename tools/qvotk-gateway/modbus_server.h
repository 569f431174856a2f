// The gateway's Modbus TCP server: holding registers mapped to points as
// configured, reads served from the last polled values, writes run on the
// line's worker with the answer waiting for the write's. Each request is
// gathered whole from its MBAP header, which is checked, and answered
// through libmodbus. Each client is served on a thread of its own, so that
// one that stalls mid-frame or sends garbage holds up nobody else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access.h"
#include "config.h"
#include "write_order.h"

typedef struct _modbus modbus_t;

namespace gateway {

// Where a register leads.
struct RegisterTarget {
  std::string line;
  int station = 0;
  std::string point;
  int index = 0;  // within a block
  bool block = false;
  int maxAgeS = 10;
  bool readOnly = false;  // the point's, or its station's
};

// What the server asks of the rest of the gateway.
class ModbusBackend {
 public:
  virtual ~ModbusBackend() = default;
  // The register's target; false for an unmapped address.
  virtual bool Target(int unit, int reg, RegisterTarget* target) = 0;
  // The value a register holds now; false when the point was not polled
  // since its station was last offline, its station is offline now, or
  // its last good value is older than the station allows.
  virtual bool Value(const RegisterTarget& target, uint16_t* value) = 0;
  // A write through the point's line: `answer` is called once, from any
  // thread, when the write ends, is refused or expires at `deadline`.
  virtual void Write(const RegisterTarget& target, uint16_t value, WriteOrder::Clock::time_point deadline,
                     WriteOrder::Answer answer) = 0;
  // A write the server refused itself, before it reached a line.
  virtual void Refused(const RegisterTarget& target, WriteEnd why) = 0;
};

class ModbusServer {
 public:
  ~ModbusServer();
  bool Start(const ModbusConfig& config, ModbusBackend* backend, std::string* error);
  void Stop();
  int port() const { return port_; }
  // Who may connect and write, from the next connection and request on.
  void SetAccess(const AccessRules& rules);
  size_t ClientCount();

 private:
  struct Client {
    int socket = -1;
    int64_t lastHeardUs = 0;
    bool busy = false;  // a request is being answered
  };

  void Accept();
  // At max_clients: closes the connection idle longest, when it has been
  // silent for evict_idle_s; false when none qualifies.
  bool MakeRoom();
  void Serve(uint64_t id, int socket, uint32_t address);
  // One whole request, its header checked; false when the client went,
  // stayed silent too long, or sent what is no Modbus TCP request.
  bool ReceiveFrame(int socket, uint8_t* frame, int* length);
  void Answer(modbus_t* context, const uint8_t* frame, int length, uint32_t address);
  // The exception that answers the request, 0 when none.
  int ReadAll(const std::vector<RegisterTarget>& targets, uint16_t* values);
  int WriteAll(const std::vector<RegisterTarget>& targets, const uint8_t* values,
               WriteOrder::Clock::time_point deadline, uint32_t address);
  // Why a write to `target` from `address` is refused before any is
  // carried out, or Carried when it may go ahead.
  WriteEnd Refusal(const RegisterTarget& target, uint16_t value, uint32_t address);
  WriteAnswer WriteAndWait(const RegisterTarget& target, uint16_t value,
                           WriteOrder::Clock::time_point deadline);
  void Heard(uint64_t id, bool busy);

  ModbusConfig config_;
  std::mutex accessMutex_;
  AccessRules access_;
  OncePerAddress refusedLogged_, deniedLogged_;
  ModbusBackend* backend_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex clientsMutex_;
  // A client's socket is shut down only while it is listed here, and its
  // thread closes it only once it has taken it off: a number the system
  // gave to another socket since is never touched.
  std::map<uint64_t, Client> clients_;
  uint64_t nextClient_ = 0;
};

}  // namespace gateway
