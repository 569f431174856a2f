// The gateway's link to an MQTT broker (libmosquitto, on its own network
// thread): publishes retained values and states under the topic prefix,
// takes writes from ".../<point>/set", and reconnects with back-off (1 s
// to 5 s) when the broker goes, without holding up anything else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

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
  // Starts connecting; false only when the client cannot be made at all.
  // `onConnected` runs after each (re)connect, to publish the current state.
  bool Start(const MqttConfig& config, OnSet onSet, std::function<void()> onConnected, std::string* error);
  // Publishes `payload` on "<prefix>/<topic>", QoS as configured. Dropped
  // while the broker is away (the state is published again on reconnect),
  // and once the link stops.
  void Publish(const std::string& topic, const std::string& payload, bool retained = true);
  bool connected() const { return connected_; }
  // Messages handed to libmosquitto that the broker has not taken yet:
  // waiting for a connection, or for the broker's acknowledgement.
  size_t Buffered();
  // "<prefix>/<topic>".
  std::string FullTopic(const std::string& topic) const { return config_.topicPrefix + "/" + topic; }
  // Publishes `last` (topic and payload, retained) and the gateway's own
  // state "offline", and nothing after them; then disconnects, having
  // waited at most `waitMs` for the broker to take them.
  void Stop(const std::vector<std::pair<std::string, std::string>>& last, int waitMs);

 private:
  static void Connected(mosquitto* client, void* self, int result);
  static void Disconnected(mosquitto* client, void* self, int result);
  static void Message(mosquitto* client, void* self, const mosquitto_message* message);
  static void Published(mosquitto* client, void* self, int id);
  // TLS as configured; false with the reason.
  bool SetTls(std::string* error);

  MqttConfig config_;
  mosquitto* client_ = nullptr;
  OnSet onSet_;
  std::function<void()> onConnected_;
  std::mutex mutex_;
  bool closing_ = false;
  std::set<int> unacknowledged_;  // every message, until the broker has it
  std::atomic<bool> connected_{false};
  // Connections lost since the last one logged: a client with the same id
  // can throw this one off every second, and the log says so once a minute.
  int lostUnlogged_ = 0;
  int64_t lostLoggedUs_ = 0;
  bool lossLogged_ = false;
};

}  // namespace gateway
