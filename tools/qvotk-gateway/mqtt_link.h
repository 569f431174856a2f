// The gateway's link to an MQTT broker (libmosquitto, on its own network
// thread): publishes retained values and states under the topic prefix,
// takes writes from ".../<point>/set", and reconnects with back-off when
// the broker goes, without holding up anything else.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "config.h"

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class MqttLink {
 public:
  // A write that arrived: the line, the station, the point and the payload.
  using OnSet = std::function<void(const std::string&, int, const std::string&, const std::string&)>;

  ~MqttLink();
  // Starts connecting; false only when the client cannot be made at all.
  // `onConnected` runs after each (re)connect, to publish the current state.
  bool Start(const MqttConfig& config, OnSet onSet, std::function<void()> onConnected, std::string* error);
  // Publishes `payload` on "<prefix>/<topic>", QoS as configured. Dropped
  // while the broker is away: the state is published again on reconnect.
  void Publish(const std::string& topic, const std::string& payload, bool retained = true);
  // Publishes the gateway's own state "offline" and disconnects, waiting
  // at most `waitMs` for the broker to take it.
  void Stop(int waitMs);

 private:
  static void Connected(mosquitto* client, void* self, int result);
  static void Disconnected(mosquitto* client, void* self, int result);
  static void Message(mosquitto* client, void* self, const mosquitto_message* message);
  static void Published(mosquitto* client, void* self, int id);

  MqttConfig config_;
  mosquitto* client_ = nullptr;
  OnSet onSet_;
  std::function<void()> onConnected_;
  std::mutex mutex_;
  int lastPublished_ = -1;  // the message id of the last acknowledged publish
};

}  // namespace gateway
