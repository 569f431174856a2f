// The gateway's link to an MQTT broker (libmosquitto, on its own network
// thread): publishes retained values and states under the topic prefix,
// takes writes from ".../<point>/set", and reconnects every second when the
// broker goes, without holding up anything else. Values and states that
// cannot be published meanwhile are kept on disk; once the broker is back,
// the current ones are published first, then what was kept, in order, on
// "<topic>/backlog", at a bounded rate beside the live values.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backlog.h"
#include "config.h"

struct mosquitto;
struct mosquitto_message;

namespace gateway {

// What a "/set" payload holds: a decimal number with surrounding white
// space ("2", " 2.0\n", "-0") or {"value": N}, a whole number 0-65535;
// false with the reason, quoting at most 64 bytes of it.
bool ParseSetValue(const std::string& payload, uint16_t* value, std::string* why);

// At most 64 bytes of a client's payload as printable ASCII, the rest of
// each byte as \xNN: safe in a log line and in JSON, whatever it holds.
std::string Quoted(const std::string& payload);

class MqttLink {
 public:
  // A write that arrived: the line, the station, the point, the payload,
  // and whether the broker kept it (a retained message, not a request).
  using OnSet = std::function<void(const std::string&, int, const std::string&, const std::string&, bool)>;

  ~MqttLink();
  // Opens what an earlier run kept in `stateDirectory` and starts
  // connecting; false when the client cannot be made or the store opened.
  // `onConnected` runs after each (re)connect, to publish the current
  // state, before anything kept is sent.
  bool Start(const MqttConfig& config, const std::string& stateDirectory, OnSet onSet,
             std::function<void()> onConnected, std::string* error);
  // Publishes `payload` on "<prefix>/<topic>", QoS as configured. Dropped
  // while the broker is away (the state is published again on reconnect),
  // and once the link stops.
  void Publish(const std::string& topic, const std::string& payload, bool retained = true);
  // Publishes `payload` retained on "<prefix>/<topic>" as Publish does;
  // while the broker is away, `whileAway` is kept instead, for
  // "<prefix>/<topic>/backlog" once it is back. True when sent live.
  bool Keep(const std::string& topic, const std::string& payload, const std::string& whileAway);
  bool connected() const { return connected_; }
  // Messages the broker has not taken yet: kept while it was away, handed
  // to libmosquitto and not acknowledged.
  size_t Buffered();
  // Kept messages dropped, the oldest first, to stay within buffer_max_mb.
  uint64_t Dropped() const { return backlog_.dropped(); }
  // "<prefix>/<topic>".
  std::string FullTopic(const std::string& topic) const { return config_.topicPrefix + "/" + topic; }
  // Publishes `last` (topic and payload, retained) and the gateway's own
  // state "offline", and nothing after them; then disconnects, having
  // waited at most `waitMs` for the broker to take them.
  void Stop(const std::vector<std::pair<std::string, std::string>>& last, int waitMs);
  // Puts what was kept and is not on disk yet there, and keeps nothing more.
  void Flush();

 private:
  static void Connected(mosquitto* client, void* self, int result);
  static void Disconnected(mosquitto* client, void* self, int result);
  static void Message(mosquitto* client, void* self, const mosquitto_message* message);
  static void Published(mosquitto* client, void* self, int id);
  // TLS as configured; false with the reason.
  bool SetTls(std::string* error);
  // Hands a message to libmosquitto; its id, or 0. Called with the lock held.
  int Send(const std::string& full, const std::string& payload, int qos, bool retained);
  // Live values flow again: the current state first. Once per connection.
  void Ready();
  // The kept messages' thread: to disk in batches, and out at backlog_rate.
  void Forward();
  void SendKept(double* allowance);
  void ReportDrops(int64_t now);

  MqttConfig config_;
  mosquitto* client_ = nullptr;
  OnSet onSet_;
  std::function<void()> onConnected_;
  std::mutex mutex_;
  bool closing_ = false;
  std::set<int> unacknowledged_;  // every message, until the broker has it
  std::atomic<bool> connected_{false};
  // Live values go to the broker only once what was in flight when it went
  // has been taken (libmosquitto sends it again), so that no older value
  // follows a newer one on a retained topic.
  bool ready_ = false;
  std::set<int> fromBefore_;
  int64_t connectedUs_ = 0;
  std::atomic<bool> currentSent_{false};  // the current state is out: kept ones may follow
  Backlog backlog_;                       // the Forward thread's
  std::vector<Backlog::Message> away_;    // kept, not on disk yet
  std::map<int, int64_t> keptInFlight_;   // message id: the kept one it carries
  std::vector<int64_t> taken_;            // kept ones the broker took
  int64_t sentUpTo_ = 0;                  // the last kept one handed over
  bool stopping_ = false;
  std::condition_variable wake_;
  std::thread forward_;
  uint64_t dropsReported_ = 0;
  int64_t dropsReportedUs_ = 0;
  int64_t refusedReportedUs_ = 0;
  // Connections lost since the last one logged: a client with the same id
  // can throw this one off every second, and the log says so once a minute.
  int lostUnlogged_ = 0;
  int64_t lostLoggedUs_ = 0;
  bool lossLogged_ = false;
};

}  // namespace gateway
