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

#include "log.h"
#include "qvotk_host/host_facts.h"

namespace gateway {
namespace {

constexpr int kReadHolding = 0x03;
constexpr int kWriteSingle = 0x06;
constexpr int kWriteMultiple = 0x10;
// A client that stays silent this long, mid-frame or between frames, is let go.
constexpr uint32_t kIdleSeconds = 60;

uint16_t Word(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// The Modbus exception for a write's driver status.
int ExceptionOf(int status) {
  if (status == QVO_STATUS_REJECTED) return MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;  // 0x04
  if (status == qvotk_host::kExitUsage) return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;  // 0x02
  return MODBUS_EXCEPTION_GATEWAY_TARGET;                                              // 0x0B
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
  Log(Level::Info, "modbus: listening on " + config.listen + ":" + std::to_string(port_));
  acceptor_ = std::thread([this] { Accept(); });
  return true;
}

void ModbusServer::Stop() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void ModbusServer::Accept() {
  while (!stop_) {
    pollfd watch = {listener_, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (clients_ >= config_.maxClients) {
      Log(Level::Warning,
          "modbus: more than " + std::to_string(config_.maxClients) + " clients; one refused");
      close(client);
      continue;
    }
    ++clients_;
    std::thread([this, client] {
      Serve(client);
      --clients_;
    }).detach();
  }
}

void ModbusServer::Serve(int socket) {
  modbus_t* context = modbus_new_tcp("127.0.0.1", port_);
  modbus_set_socket(context, socket);
  modbus_set_indication_timeout(context, kIdleSeconds, 0);
  const int header = modbus_get_header_length(context);
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  while (!stop_) {
    const int length = modbus_receive(context, query);
    if (length == 0) continue;  // a request for another unit's address: none on TCP
    if (length < 0) break;      // closed, silent too long, or no Modbus at all
    const int unit = query[header - 1];
    const int function = query[header];
    const int first = Word(query + header + 1);
    const int count = function == kWriteSingle ? 1 : Word(query + header + 3);
    if (function != kReadHolding && function != kWriteSingle && function != kWriteMultiple) {
      modbus_reply_exception(context, query, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
      continue;
    }
    if (count < 1 || count > 125 || first + count > 65536) {
      modbus_reply_exception(context, query, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
      continue;
    }
    std::vector<RegisterTarget> targets(static_cast<size_t>(count));
    bool mapped = true;
    for (int i = 0; i < count && mapped; ++i)
      mapped = backend_->Target(unit, first + i, &targets[static_cast<size_t>(i)]);
    if (!mapped) {
      modbus_reply_exception(context, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
      continue;
    }
    modbus_mapping_t* registers = modbus_mapping_new_start_address(0, 0, 0, 0, static_cast<unsigned>(first),
                                                                   static_cast<unsigned>(count), 0, 0);
    int exception = 0;
    if (function == kReadHolding) {
      for (int i = 0; i < count && exception == 0; ++i) {
        if (!backend_->Value(targets[static_cast<size_t>(i)], &registers->tab_registers[i])) {
          exception = MODBUS_EXCEPTION_GATEWAY_TARGET;
        }
      }
    } else {
      const uint8_t* values = function == kWriteSingle ? query + header + 3 : query + header + 6;
      for (int i = 0; i < count && exception == 0; ++i) {
        const RegisterTarget& target = targets[static_cast<size_t>(i)];
        const uint16_t value = Word(values + 2 * i);
        if (target.block) {
          exception = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;  // a block is read only
        } else if (!qvotk_host::TakesValue(target.point == "S", value)) {
          exception = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        } else {
          const int status = backend_->Write(target, value);
          if (status != QVO_STATUS_OK) exception = ExceptionOf(status);
        }
      }
    }
    if (exception != 0) {
      modbus_reply_exception(context, query, static_cast<unsigned>(exception));
    } else {
      modbus_reply(context, query, length, registers);
    }
    modbus_mapping_free(registers);
  }
  close(socket);
  modbus_free(context);
}

}  // namespace gateway
