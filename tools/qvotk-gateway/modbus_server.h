// The gateway's Modbus TCP server: holding registers mapped to points as
// configured, reads served from the last polled values, writes run on the
// line's worker with the answer waiting for the write's. Every client is
// served from one thread, an event loop: each connection's bytes are
// gathered until its request is whole (its MBAP header checked), which
// libmodbus then answers; a write goes to its line's worker, and its answer
// comes back to the loop. So a client that stalls mid-frame, sends garbage
// or stops reading, and a line busy with a slow station, hold up nobody
// else, and a thousand clients cost no more threads than one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "access.h"
#include "config.h"
#include "write_order.h"

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

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
  // thread (the caller's too), when the write ends, is refused or expires
  // at `deadline`. The write is given back, for a requester that goes
  // before it has started to withdraw it.
  virtual std::shared_ptr<WriteOrder> Write(const RegisterTarget& target, uint16_t value,
                                            WriteOrder::Clock::time_point deadline,
                                            WriteOrder::Answer answer) = 0;
  // A write the server refused itself, before it reached a line.
  virtual void Refused(const RegisterTarget& target, WriteEnd why) = 0;
};

class ModbusServer {
 public:
  ModbusServer();
  ~ModbusServer();
  bool Start(const ModbusConfig& config, ModbusBackend* backend, std::string* error);
  void Stop();
  int port() const { return port_; }
  // Who may connect and write, from the next connection and request on.
  void SetAccess(const AccessRules& rules);
  size_t ClientCount() const { return clientCount_; }

 private:
  struct Client;
  class Mailbox;
  struct Finished {
    uint64_t client = 0;
    WriteAnswer answer;
  };

  void Run();
  void AcceptAll();
  void Admit(int socket, uint32_t address);
  // At max_clients: closes the connection idle longest, when it has been
  // silent for evict_idle_s; false when none qualifies.
  bool MakeRoom();
  // Takes what the client sent, and answers it once its request is whole.
  void Receive(Client& client);
  void Answer(Client& client);
  // Sends an exception, or (0) libmodbus's reply from the registers as
  // they stand; false when the client could not take it whole and was closed.
  bool Reply(Client& client, int exception);
  // The exception that answers the request, 0 when none.
  int ReadAll(const std::vector<RegisterTarget>& targets, uint16_t* values);
  // Why a write to `target` from `address` is refused before any is
  // carried out, or Carried when it may go ahead.
  WriteEnd Refusal(const RegisterTarget& target, uint16_t value, uint32_t address);
  // Hands the client's next register to its line.
  void WriteNext(Client& client);
  // The lines' answers, on the loop's thread.
  void TakeAnswers();
  // Lets go of clients stalled mid-frame or silent too long.
  void Sweep();
  // Watches the client for its requests, or, while its write waits, only
  // for its hang-up.
  void Listen(Client& client, bool forRequests);
  // A write it still waits for is withdrawn.
  void Close(uint64_t id);

  ModbusConfig config_;
  std::mutex accessMutex_;
  AccessRules access_;
  OncePerAddress refusedLogged_, deniedLogged_, unreadLogged_;
  ModbusBackend* backend_ = nullptr;
  int listener_ = -1;
  int loop_ = -1;     // epoll
  int reserve_ = -1;  // let go for a moment when descriptors run out
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::shared_ptr<Mailbox> mailbox_;
  std::thread thread_;
  // The loop's thread's alone.
  std::unordered_map<uint64_t, std::unique_ptr<Client>> clients_;
  uint64_t nextClient_ = 1;
  modbus_t* context_ = nullptr;            // answers on the socket set before each reply
  modbus_mapping_t* registers_ = nullptr;  // all of them: libmodbus's scratch for a reply
  int64_t outOfDescriptorsLoggedUs_ = 0;   // 0: never
  std::atomic<size_t> clientCount_{0};
};

}  // namespace gateway
