#include "modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <qvotk/qvotk.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

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

// Every client's socket is kept above the numbers select() can watch, where
// the limit on open files allows: those stay free for libmosquitto, whose
// loop gives up on a socket numbered FD_SETSIZE or more.
int AboveSelectRange(int socket) {
  const int moved = fcntl(socket, F_DUPFD_CLOEXEC, FD_SETSIZE);
  if (moved < 0) return socket;
  close(socket);
  return moved;
}

// What the loop's epoll tells apart from the clients, whose ids start at 1.
constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kMailboxKey = UINT64_MAX;
// How often clients stalled mid-frame or silent too long are looked for.
constexpr int kSweepMs = 100;

}  // namespace

struct ModbusServer::Client {
  uint64_t id = 0;
  int socket = -1;
  uint32_t address = 0;
  uint8_t frame[MODBUS_TCP_MAX_ADU_LENGTH] = {};
  int got = 0;              // bytes of the request gathered
  int64_t lastHeardUs = 0;  // its last request whole, or its last reply
  int64_t lastByteUs = 0;
  // A write under way: the registers it spans, in order, the next one to
  // hand to its line, and the one handed.
  std::vector<RegisterTarget> writing;
  size_t next = 0;
  WriteOrder::Clock::time_point deadline;
  std::shared_ptr<WriteOrder> order;

  bool Writing() const { return !writing.empty(); }
  // The whole request's length, once its header is in.
  int Length() const { return kHeader - 1 + Word(frame + 4); }
};

// Where the lines leave the answers of writes for the loop, which an
// eventfd wakes. Shared with every write handed out, so that an answer
// that comes after the server has gone finds it still there.
class ModbusServer::Mailbox {
 public:
  Mailbox() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Mailbox() {
    if (wake_ >= 0) close(wake_);
  }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  int descriptor() const { return wake_; }
  void Post(const Finished& finished) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_.push_back(finished);
    }
    Wake();
  }
  void Wake() {
    const uint64_t one = 1;
    // Fails only when the counter is full, and a full one wakes the loop too.
    if (write(wake_, &one, sizeof one) < 0) return;
  }
  std::vector<Finished> Take() {
    uint64_t count = 0;
    // Nothing to read is no error: the answers are in the list either way.
    if (read(wake_, &count, sizeof count) < 0) count = 0;
    std::vector<Finished> taken;
    const std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(finished_);
    return taken;
  }

 private:
  const int wake_;
  std::mutex mutex_;
  std::vector<Finished> finished_;
};

ModbusServer::ModbusServer() = default;

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(const ModbusConfig& config, ModbusBackend* backend, std::string* error) {
  config_ = config;
  backend_ = backend;
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(config.port));
  if (inet_pton(AF_INET, config.listen.c_str(), &address.sin_addr) != 1) {
    *error = "modbus.listen: '" + config.listen + "' is no IPv4 address";
    return false;
  }
  // A burst of clients connecting at once waits in the backlog, not refused.
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, SOMAXCONN) != 0) {
    *error = "modbus: cannot listen on " + config.listen + ":" + std::to_string(config.port) + ": " +
             std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  mailbox_ = std::make_shared<Mailbox>();
  loop_ = epoll_create1(EPOLL_CLOEXEC);
  reserve_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  epoll_event listening{}, woken{};
  listening.events = woken.events = EPOLLIN;
  listening.data.u64 = kListenerKey;
  woken.data.u64 = kMailboxKey;
  if (loop_ < 0 || mailbox_->descriptor() < 0 ||
      epoll_ctl(loop_, EPOLL_CTL_ADD, listener_, &listening) != 0 ||
      epoll_ctl(loop_, EPOLL_CTL_ADD, mailbox_->descriptor(), &woken) != 0) {
    *error = std::string("modbus: cannot make its event loop: ") + std::strerror(errno);
    return false;
  }
  context_ = modbus_new_tcp("127.0.0.1", port_);
  registers_ = modbus_mapping_new(0, 0, 65536, 0);
  Log(Level::Info, "modbus", "listening on " + config.listen + ":" + std::to_string(port_));
  SetAccess(config.access);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void ModbusServer::Stop() {
  stop_ = true;
  if (mailbox_ != nullptr) mailbox_->Wake();
  if (thread_.joinable()) thread_.join();
  while (!clients_.empty()) Close(clients_.begin()->first);
  for (int* descriptor : {&listener_, &loop_, &reserve_}) {
    if (*descriptor >= 0) close(*descriptor);
    *descriptor = -1;
  }
  if (context_ != nullptr) modbus_free(context_);
  context_ = nullptr;
  if (registers_ != nullptr) modbus_mapping_free(registers_);
  registers_ = nullptr;
}

void ModbusServer::SetAccess(const AccessRules& rules) {
  {
    const std::lock_guard<std::mutex> lock(accessMutex_);
    access_ = rules;
  }
  const std::string open = rules.Summary(config_.listen + ":" + std::to_string(port_));
  if (!open.empty()) Log(Level::Warning, "modbus", open);
}

void ModbusServer::Run() {
  epoll_event events[64];
  int64_t nextSweepUs = NowUs() + kSweepMs * 1000;
  while (!stop_) {
    const int ready = epoll_wait(loop_, events, 64, kSweepMs);
    for (int i = 0; i < ready; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == kListenerKey) {
        AcceptAll();
      } else if (key == kMailboxKey) {
        TakeAnswers();
      } else if (const auto found = clients_.find(key); found != clients_.end()) {
        try {
          // While it waits for a write only its hang-up is watched: it went.
          if (found->second->Writing()) {
            Close(key);
          } else {
            Receive(*found->second);
          }
        } catch (const std::exception& e) {
          Log(Level::Error, "modbus", std::string("a client's connection failed: ") + e.what());
          Close(key);
        }
      }
    }
    if (NowUs() >= nextSweepUs) {
      Sweep();
      nextSweepUs = NowUs() + kSweepMs * 1000;
    }
  }
}

void ModbusServer::AcceptAll() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int socket =
        accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket >= 0) {
      Admit(socket, ntohl(peer.sin_addr.s_addr));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if ((errno == EMFILE || errno == ENFILE) && reserve_ >= 0) {
      // The connection left waiting would wake the loop for ever: the
      // reserve makes room to take it, and close it.
      close(reserve_);
      const int refused = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (refused >= 0) close(refused);
      reserve_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
      const int64_t now = NowUs();
      if (outOfDescriptorsLoggedUs_ == 0 || now - outOfDescriptorsLoggedUs_ > int64_t{60} * 1000000) {
        outOfDescriptorsLoggedUs_ = now;
        Log(Level::Error, "modbus",
            "no descriptor left for a new client (" + std::to_string(clients_.size()) +
                " connected): it is refused; raise the limit on open files (LimitNOFILE=)");
      }
    }
    return;
  }
}

void ModbusServer::Admit(int socket, uint32_t address) {
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
    return;
  }
  if (clients_.size() >= static_cast<size_t>(config_.maxClients) && !MakeRoom()) {
    Log(Level::Warning, "modbus",
        std::to_string(config_.maxClients) + " clients, none silent for " +
            std::to_string(config_.evictIdleS) + " s; a new one refused");
    close(socket);
    return;
  }
  auto client = std::make_unique<Client>();
  client->id = nextClient_++;
  client->socket = AboveSelectRange(socket);
  client->address = address;
  client->lastHeardUs = NowUs();
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u64 = client->id;
  if (epoll_ctl(loop_, EPOLL_CTL_ADD, client->socket, &event) != 0) {
    close(client->socket);
    return;
  }
  clients_[client->id] = std::move(client);
  clientCount_ = clients_.size();
}

bool ModbusServer::MakeRoom() {
  const int64_t now = NowUs();
  const Client* idlest = nullptr;
  for (const auto& [id, client] : clients_) {
    if (!client->Writing() && (idlest == nullptr || client->lastHeardUs < idlest->lastHeardUs)) {
      idlest = client.get();
    }
  }
  if (idlest == nullptr || now - idlest->lastHeardUs < int64_t{config_.evictIdleS} * 1000000) return false;
  Log(Level::Info, "modbus",
      std::to_string(config_.maxClients) + " clients; the one silent longest (" +
          std::to_string((now - idlest->lastHeardUs) / 1000000) + " s) is closed for a new one");
  Close(idlest->id);
  return true;
}

void ModbusServer::Receive(Client& client) {
  for (;;) {
    const int wanted = client.got < kHeader ? kHeader : client.Length();
    const ssize_t read =
        recv(client.socket, client.frame + client.got, static_cast<size_t>(wanted - client.got), 0);
    if (read < 0 && errno == EINTR) continue;
    if (read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (read <= 0) return Close(client.id);
    client.got += static_cast<int>(read);
    client.lastByteUs = NowUs();
    if (client.got == kHeader) {
      const int protocol = Word(client.frame + 2);
      const int following = Word(client.frame + 4);
      // Anything else is no Modbus request, and nothing after it can be
      // trusted to start a frame: the connection goes.
      if (protocol != 0 || following < 2 || following > kLongestLength) {
        Log(Level::Debug, "modbus",
            "a header with protocol " + std::to_string(protocol) + " and length " +
                std::to_string(following) + "; the connection is closed");
        return Close(client.id);
      }
    }
    // One request at a time: the next waits in the socket until this one
    // is answered.
    if (client.got > kHeader && client.got == client.Length()) return Answer(client);
  }
}

void ModbusServer::Answer(Client& client) {
  client.lastHeardUs = NowUs();
  const auto deadline = WriteOrder::Clock::now() + std::chrono::milliseconds(config_.writeTimeoutMs);
  const int unit = client.frame[kHeader - 1];
  const uint8_t* pdu = client.frame + kHeader;
  const int function = pdu[0];
  if (function != kReadHolding && function != kWriteSingle && function != kWriteMultiple) {
    Reply(client, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    return;
  }
  const RequestShape shape = ShapeOf(pdu, client.got - kHeader);
  if (!shape.valid) {
    Reply(client, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    return;
  }
  std::vector<RegisterTarget> targets(static_cast<size_t>(shape.count));
  for (int i = 0; i < shape.count; ++i) {
    if (!backend_->Target(unit, shape.first + i, &targets[static_cast<size_t>(i)])) {
      Reply(client, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
      return;
    }
  }
  if (function == kReadHolding) {
    Reply(client, ReadAll(targets, registers_->tab_registers + shape.first));
    return;
  }
  // Every register is checked before any is written.
  const uint8_t* values = function == kWriteSingle ? pdu + 3 : pdu + 6;
  for (size_t i = 0; i < targets.size(); ++i) {
    const WriteEnd refused = Refusal(targets[i], Word(values + 2 * i), client.address);
    if (refused != WriteEnd::Carried) {
      backend_->Refused(targets[i], refused);
      Reply(client, ExceptionOf({refused, QVO_STATUS_NO_ANSWER}));
      return;
    }
  }
  // Then written in register order, up to the first that fails. Nothing
  // more is read from the client until it is answered.
  client.writing = std::move(targets);
  client.next = 0;
  client.deadline = deadline;
  Listen(client, false);
  WriteNext(client);
}

bool ModbusServer::Reply(Client& client, int exception) {
  modbus_set_socket(context_, client.socket);
  const int sent = exception != 0
                       ? modbus_reply_exception(context_, client.frame, static_cast<unsigned>(exception))
                       : modbus_reply(context_, client.frame, client.got, registers_);
  client.got = 0;
  client.lastHeardUs = NowUs();
  if (sent > 0) return true;
  // A reply cannot be sent in part, nor wait for its client: one whose
  // socket does not take it whole has stopped reading its replies.
  if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == EMBBADDATA) &&
      unreadLogged_.First(client.address)) {
    Log(Level::Warning, "modbus",
        Ipv4Text(client.address) + " does not read its replies: its connection is closed");
  }
  Close(client.id);
  return false;
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

void ModbusServer::WriteNext(Client& client) {
  const uint8_t* pdu = client.frame + kHeader;
  const uint8_t* values = pdu[0] == kWriteSingle ? pdu + 3 : pdu + 6;
  const uint64_t id = client.id;
  client.order = backend_->Write(client.writing[client.next], Word(values + 2 * client.next), client.deadline,
                                 [mailbox = mailbox_, id](const WriteAnswer& answer) {
                                   mailbox->Post({id, answer});
                                 });
}

void ModbusServer::TakeAnswers() {
  for (const Finished& finished : mailbox_->Take()) {
    const auto found = clients_.find(finished.client);
    // Gone: its write was withdrawn, or had ended.
    if (found == clients_.end() || !found->second->Writing()) continue;
    Client& client = *found->second;
    const int exception = ExceptionOf(finished.answer);
    if (exception == 0 && ++client.next < client.writing.size()) {
      WriteNext(client);
      continue;
    }
    client.writing.clear();
    client.order.reset();
    if (Reply(client, exception)) Listen(client, true);
  }
}

void ModbusServer::Sweep() {
  const int64_t now = NowUs();
  std::vector<uint64_t> gone;
  for (const auto& [id, client] : clients_) {
    // A write's wait is bounded by its deadline, or by its request on the line.
    if (client->Writing()) continue;
    const bool stalled = client->got > 0 && now - client->lastByteUs > int64_t{kByteGapMs} * 1000;
    const bool silent =
        client->got == 0 && now - client->lastHeardUs > int64_t{config_.idleTimeoutS} * 1000000;
    if (stalled || silent) gone.push_back(id);
  }
  for (const uint64_t id : gone) Close(id);
}

void ModbusServer::Listen(Client& client, bool forRequests) {
  epoll_event event{};
  event.events = forRequests ? EPOLLIN | EPOLLRDHUP : EPOLLRDHUP;
  event.data.u64 = client.id;
  // It cannot fail on a socket in the loop; were it to, the client would
  // be closed at its next event, or once silent too long.
  epoll_ctl(loop_, EPOLL_CTL_MOD, client.socket, &event);
}

void ModbusServer::Close(uint64_t id) {
  const auto found = clients_.find(id);
  if (found == clients_.end()) return;
  const std::unique_ptr<Client> client = std::move(found->second);
  clients_.erase(found);
  clientCount_ = clients_.size();
  close(client->socket);  // and so out of the loop
  // Its requester gone, a write not yet started is never carried out.
  if (client->order != nullptr) client->order->Drop(WriteEnd::Withdrawn);
}

}  // namespace gateway
