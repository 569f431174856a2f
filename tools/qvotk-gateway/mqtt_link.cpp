#include "mqtt_link.h"

#include <mosquitto.h>

#include <chrono>
#include <thread>

#include "log.h"

namespace gateway {
namespace {

const std::string kOnline = "online";
const std::string kOffline = "offline";

}  // namespace

MqttLink::~MqttLink() {
  if (client_ != nullptr) {
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
  }
}

bool MqttLink::Start(const MqttConfig& config, OnSet onSet, std::function<void()> onConnected,
                     std::string* error) {
  config_ = config;
  onSet_ = std::move(onSet);
  onConnected_ = std::move(onConnected);
  mosquitto_lib_init();
  client_ = mosquitto_new(config.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *error = "cannot make an MQTT client";
    return false;
  }
  const std::string status = config.topicPrefix + "/gateway/status";
  mosquitto_will_set(client_, status.c_str(), static_cast<int>(kOffline.size()), kOffline.data(), config.qos,
                     true);
  if (!config.username.empty()) {
    mosquitto_username_pw_set(client_, config.username.c_str(),
                              config.password.empty() ? nullptr : config.password.c_str());
  }
  if (!config.caFile.empty() && mosquitto_tls_set(client_, config.caFile.c_str(), nullptr, nullptr, nullptr,
                                                  nullptr) != MOSQ_ERR_SUCCESS) {
    *error = "mqtt.ca_file: cannot use " + config.caFile;
    return false;
  }
  mosquitto_reconnect_delay_set(client_, 1, 30, true);
  mosquitto_connect_callback_set(client_, Connected);
  mosquitto_disconnect_callback_set(client_, Disconnected);
  mosquitto_message_callback_set(client_, Message);
  mosquitto_publish_callback_set(client_, Published);
  const int connecting =
      mosquitto_connect_async(client_, config.host.c_str(), config.port, config.keepaliveS);
  if (connecting != MOSQ_ERR_SUCCESS) {
    Log(Level::Warning, "mqtt: " + config.host + ":" + std::to_string(config.port) + " not reached yet (" +
                            mosquitto_strerror(connecting) + "); trying again");
  }
  mosquitto_loop_start(client_);
  if (connecting != MOSQ_ERR_SUCCESS) mosquitto_reconnect_async(client_);
  return true;
}

void MqttLink::Connected(mosquitto* client, void* self, int result) {
  auto* link = static_cast<MqttLink*>(self);
  if (result != 0) {
    Log(Level::Warning,
        std::string("mqtt: the broker refused the connection: ") + mosquitto_connack_string(result));
    return;
  }
  Log(Level::Info, "mqtt: connected to " + link->config_.host + ":" + std::to_string(link->config_.port));
  const std::string prefix = link->config_.topicPrefix;
  mosquitto_subscribe(client, nullptr, (prefix + "/+/+/+/set").c_str(), link->config_.qos);
  link->Publish("gateway/status", kOnline);
  if (link->onConnected_) link->onConnected_();
}

void MqttLink::Disconnected(mosquitto*, void* self, int result) {
  if (result != 0) {
    Log(Level::Warning,
        "mqtt: connection to " + static_cast<MqttLink*>(self)->config_.host + " lost; reconnecting");
  }
}

void MqttLink::Published(mosquitto*, void* self, int id) {
  auto* link = static_cast<MqttLink*>(self);
  const std::lock_guard<std::mutex> lock(link->mutex_);
  link->lastPublished_ = id;
}

void MqttLink::Message(mosquitto*, void* self, const mosquitto_message* message) {
  auto* link = static_cast<MqttLink*>(self);
  // "<prefix>/<line>/<station>/<point>/set"
  const std::string prefix = link->config_.topicPrefix + "/";
  std::string topic = message->topic;
  if (topic.rfind(prefix, 0) != 0) return;
  topic = topic.substr(prefix.size());
  const size_t a = topic.find('/'), b = topic.find('/', a + 1), c = topic.find('/', b + 1);
  if (a == std::string::npos || b == std::string::npos || c == std::string::npos) return;
  const std::string line = topic.substr(0, a), station = topic.substr(a + 1, b - a - 1);
  const std::string point = topic.substr(b + 1, c - b - 1);
  if (station.empty() || station.find_first_not_of("0123456789") != std::string::npos || station.size() > 4)
    return;
  const std::string payload(static_cast<const char*>(message->payload),
                            static_cast<size_t>(message->payloadlen));
  if (link->onSet_) link->onSet_(line, std::stoi(station), point, payload);
}

void MqttLink::Publish(const std::string& topic, const std::string& payload, bool retained) {
  if (client_ == nullptr) return;
  const std::string full = config_.topicPrefix + "/" + topic;
  mosquitto_publish(client_, nullptr, full.c_str(), static_cast<int>(payload.size()), payload.data(),
                    config_.qos, retained);
}

void MqttLink::Stop(int waitMs) {
  if (client_ == nullptr) return;
  int id = 0;
  const std::string status = config_.topicPrefix + "/gateway/status";
  const bool sent = mosquitto_publish(client_, &id, status.c_str(), static_cast<int>(kOffline.size()),
                                      kOffline.data(), config_.qos, true) == MOSQ_ERR_SUCCESS;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (sent && config_.qos > 0 && std::chrono::steady_clock::now() < end) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (lastPublished_ >= id) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  mosquitto_disconnect(client_);
}

}  // namespace gateway
