#include "modbus_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <qvotk/qvotk.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

#include "log.h"
#include "qvotk_host/host_facts.h"

namespace gateway {
namespace {

constexpr int kReadHolding = 0x03;
constexpr int kWriteSingle = 0x06;
constexpr int kWriteMultiple = 0x10;
// The MBAP header: transaction id, protocol id (0 for Modbus), the length
// of what follows it, and the unit id, which that length counts.
constexpr int kHeader = 7;
constexpr int kLongestLength = MODBUS_TCP_MAX_ADU_LENGTH - kHeader + 1;  // 254
// A client that stops mid-frame this long is let go, as libmodbus does.
constexpr int kByteGapMs = 500;

uint16_t Word(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The Modbus exception that answers a write; 0 for a write done.
int ExceptionOf(const WriteAnswer& answer) {
  switch (answer.end) {
    case WriteEnd::Carried:
      if (answer.status == QVO_STATUS_OK) return 0;
      return answer.status == QVO_STATUS_REJECTED ? MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE  // 0x04
                                                  : MODBUS_EXCEPTION_GATEWAY_TARGET;          // 0x0B
    case WriteEnd::Busy: return MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY;                        // 0x06
    case WriteEnd::UnknownPoint: return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;                // 0x02
    case WriteEnd::RefusedValue: return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;                  // 0x03
    case WriteEnd::ReadOnly:
    case WriteEnd::Denied: return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;  // 0x01: not for this client
    case WriteEnd::Expired:
    case WriteEnd::Offline:
    case WriteEnd::Withdrawn: return MODBUS_EXCEPTION_GATEWAY_TARGET;
  }
  return MODBUS_EXCEPTION_GATEWAY_TARGET;
}

// Reads exactly `count` bytes: the first within `firstWaitMs`, each next
// one within kByteGapMs of the one before.
bool ReceiveExactly(int socket, uint8_t* into, int count, int firstWaitMs) {
  int wait = firstWaitMs;
  for (int got = 0; got < count;) {
    pollfd watch = {socket, POLLIN, 0};
    if (poll(&watch, 1, wait) <= 0) return false;
    const ssize_t read = recv(socket, into + got, static_cast<size_t>(count - got), 0);
    if (read <= 0) return false;
    got += static_cast<int>(read);
    wait = kByteGapMs;
  }
  return true;
}

// What a request asks for: a count the function allows, and for 16 a byte
// count of two a register that the frame holds exactly.
struct RequestShape {
  int first = 0;
  int count = 0;
  bool valid = false;
};

RequestShape ShapeOf(const uint8_t* pdu, int pduLength) {
  const int function = pdu[0];
  RequestShape shape;
  shape.first = pduLength >= 3 ? Word(pdu + 1) : 0;
  if (function == kWriteSingle) {
    shape.count = 1;
    shape.valid = pduLength == 5;
  } else if (pduLength >= 5) {
    shape.count = Word(pdu + 3);
    shape.valid = function == kReadHolding
                      ? pduLength == 5 && shape.count >= 1 && shape.count <= MODBUS_MAX_READ_REGISTERS
                      : pduLength >= 6 && shape.count >= 1 && shape.count <= MODBUS_MAX_WRITE_REGISTERS &&
                            pdu[5] == 2 * shape.count && pduLength == 6 + 2 * shape.count;
  }
  shape.valid = shape.valid && shape.first + shape.count <= 65536;
  return shape;
}

}  // namespace

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(const ModbusConfig& config, ModbusBackend* backend, std::string* error) {
  config_ = config;
  backend_ = backend;
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(config.port));
  if (inet_pton(AF_INET, config.listen.c_str(), &address.sin_addr) != 1) {
    *error = "modbus.listen: '" + config.listen + "' is no IPv4 address";
    return false;
  }
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0) {
    *error = "modbus: cannot listen on " + config.listen + ":" + std::to_string(config.port) + ": " +
             std::strerror(errno);
    close(listener_);
    listener_ = -1;
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  Log(Level::Info, "modbus", "listening on " + config.listen + ":" + std::to_string(port_));
  SetAccess(config.access);
  acceptor_ = std::thread([this] { Accept(); });
  return true;
}

void ModbusServer::Stop() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void ModbusServer::SetAccess(const AccessRules& rules) {
  {
    const std::lock_guard<std::mutex> lock(accessMutex_);
    access_ = rules;
  }
  const std::string open = rules.Summary(config_.listen + ":" + std::to_string(port_));
  if (!open.empty()) Log(Level::Warning, "modbus", open);
}

size_t ModbusServer::ClientCount() {
  const std::lock_guard<std::mutex> lock(clientsMutex_);
  return clients_.size();
}

bool ModbusServer::MakeRoom() {
  const int64_t now = NowUs();
  auto idlest = clients_.end();
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (!it->second.busy &&
        (idlest == clients_.end() || it->second.lastHeardUs < idlest->second.lastHeardUs)) {
      idlest = it;
    }
  }
  if (idlest == clients_.end() || now - idlest->second.lastHeardUs < int64_t{config_.evictIdleS} * 1000000) {
    return false;
  }
  Log(Level::Info, "modbus",
      std::to_string(config_.maxClients) + " clients; the one silent longest (" +
          std::to_string((now - idlest->second.lastHeardUs) / 1000000) + " s) is closed for a new one");
  // Its thread sees the end of its stream, and closes the socket.
  shutdown(idlest->second.socket, SHUT_RDWR);
  clients_.erase(idlest);
  return true;
}

void ModbusServer::Accept() {
  while (!stop_) {
    pollfd watch = {listener_, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int socket = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (socket < 0) continue;
    const uint32_t address = ntohl(peer.sin_addr.s_addr);
    bool allowed = false;
    {
      const std::lock_guard<std::mutex> lock(accessMutex_);
      allowed = access_.MayConnect(address);
    }
    if (!allowed) {
      if (refusedLogged_.First(address)) {
        Log(Level::Warning, "modbus", Ipv4Text(address) + " is not in allow: its connections are closed");
      }
      close(socket);
      continue;
    }
    uint64_t id = 0;
    {
      const std::lock_guard<std::mutex> lock(clientsMutex_);
      if (clients_.size() >= static_cast<size_t>(config_.maxClients) && !MakeRoom()) {
        Log(Level::Warning, "modbus",
            std::to_string(config_.maxClients) + " clients, none silent for " +
                std::to_string(config_.evictIdleS) + " s; a new one refused");
        close(socket);
        continue;
      }
      id = nextClient_++;
      clients_[id] = {socket, NowUs(), false};
    }
    std::thread([this, id, socket, address] { Serve(id, socket, address); }).detach();
  }
}

void ModbusServer::Heard(uint64_t id, bool busy) {
  const std::lock_guard<std::mutex> lock(clientsMutex_);
  const auto found = clients_.find(id);
  if (found == clients_.end()) return;
  found->second.lastHeardUs = NowUs();
  found->second.busy = busy;
}

bool ModbusServer::ReceiveFrame(int socket, uint8_t* frame, int* length) {
  if (!ReceiveExactly(socket, frame, kHeader, config_.idleTimeoutS * 1000)) return false;
  const int protocol = Word(frame + 2);
  const int following = Word(frame + 4);
  // Anything else is no Modbus request, and nothing after it can be trusted
  // to start a frame: the connection goes.
  if (protocol != 0 || following < 2 || following > kLongestLength) {
    Log(Level::Debug, "modbus",
        "a header with protocol " + std::to_string(protocol) + " and length " + std::to_string(following) +
            "; the connection is closed");
    return false;
  }
  *length = kHeader - 1 + following;
  return ReceiveExactly(socket, frame + kHeader, following - 1, kByteGapMs);
}

void ModbusServer::Serve(uint64_t id, int socket, uint32_t address) {
  modbus_t* context = modbus_new_tcp("127.0.0.1", port_);
  modbus_set_socket(context, socket);
  uint8_t frame[MODBUS_TCP_MAX_ADU_LENGTH];
  int length = 0;
  try {
    while (!stop_ && ReceiveFrame(socket, frame, &length)) {
      Heard(id, true);
      Answer(context, frame, length, address);
      Heard(id, false);
    }
  } catch (const std::exception& e) {
    Log(Level::Error, "modbus", std::string("a client's connection failed: ") + e.what());
  }
  {
    const std::lock_guard<std::mutex> lock(clientsMutex_);
    clients_.erase(id);
  }
  close(socket);
  modbus_free(context);
}

WriteAnswer ModbusServer::WriteAndWait(const RegisterTarget& target, uint16_t value,
                                       WriteOrder::Clock::time_point deadline) {
  auto answered = std::make_shared<std::promise<WriteAnswer>>();
  std::future<WriteAnswer> answer = answered->get_future();
  backend_->Write(target, value, deadline,
                  [answered](const WriteAnswer& given) { answered->set_value(given); });
  return answer.get();
}

void ModbusServer::Answer(modbus_t* context, const uint8_t* frame, int length, uint32_t address) {
  const auto deadline = WriteOrder::Clock::now() + std::chrono::milliseconds(config_.writeTimeoutMs);
  const int unit = frame[kHeader - 1];
  const uint8_t* pdu = frame + kHeader;
  const int function = pdu[0];
  auto refuse = [&](int exception) {
    modbus_reply_exception(context, frame, static_cast<unsigned>(exception));
  };
  if (function != kReadHolding && function != kWriteSingle && function != kWriteMultiple) {
    return refuse(MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  }
  const RequestShape shape = ShapeOf(pdu, length - kHeader);
  if (!shape.valid) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  std::vector<RegisterTarget> targets(static_cast<size_t>(shape.count));
  for (int i = 0; i < shape.count; ++i) {
    if (!backend_->Target(unit, shape.first + i, &targets[static_cast<size_t>(i)])) {
      return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    }
  }
  modbus_mapping_t* registers = modbus_mapping_new_start_address(
      0, 0, 0, 0, static_cast<unsigned>(shape.first), static_cast<unsigned>(shape.count), 0, 0);
  const int exception =
      function == kReadHolding
          ? ReadAll(targets, registers->tab_registers)
          : WriteAll(targets, function == kWriteSingle ? pdu + 3 : pdu + 6, deadline, address);
  if (exception != 0) {
    refuse(exception);
  } else {
    modbus_reply(context, frame, length, registers);
  }
  modbus_mapping_free(registers);
}

int ModbusServer::ReadAll(const std::vector<RegisterTarget>& targets, uint16_t* values) {
  for (size_t i = 0; i < targets.size(); ++i) {
    if (!backend_->Value(targets[i], &values[i])) return MODBUS_EXCEPTION_GATEWAY_TARGET;
  }
  return 0;
}

WriteEnd ModbusServer::Refusal(const RegisterTarget& target, uint16_t value, uint32_t address) {
  bool readOnly = false, mayWrite = false;
  {
    const std::lock_guard<std::mutex> lock(accessMutex_);
    readOnly = access_.readOnly;
    mayWrite = access_.MayWrite(address);
  }
  if (readOnly || target.readOnly) return WriteEnd::ReadOnly;
  if (!mayWrite) {
    if (deniedLogged_.First(address)) {
      Log(Level::Warning, "modbus",
          "writes from " + Ipv4Text(address) + " are refused: it is not in write_allow");
    }
    return WriteEnd::Denied;
  }
  if (target.block) return WriteEnd::UnknownPoint;  // a block is read only
  if (!qvotk_host::TakesValue(target.point == "S", value)) return WriteEnd::RefusedValue;
  return WriteEnd::Carried;
}

int ModbusServer::WriteAll(const std::vector<RegisterTarget>& targets, const uint8_t* values,
                           WriteOrder::Clock::time_point deadline, uint32_t address) {
  // Every register is checked before any is written.
  for (size_t i = 0; i < targets.size(); ++i) {
    const WriteEnd refused = Refusal(targets[i], Word(values + 2 * i), address);
    if (refused != WriteEnd::Carried) {
      backend_->Refused(targets[i], refused);
      return ExceptionOf({refused, QVO_STATUS_NO_ANSWER});
    }
  }
  // Then written in register order, up to the first that fails.
  for (size_t i = 0; i < targets.size(); ++i) {
    const int exception = ExceptionOf(WriteAndWait(targets[i], Word(values + 2 * i), deadline));
    if (exception != 0) return exception;
  }
  return 0;
}

}  // namespace gateway
