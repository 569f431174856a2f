#include "mqtt_link.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "log.h"

namespace gateway {
namespace {

const std::string kOnline = "online";
const std::string kOffline = "offline";
constexpr size_t kQuotedBytes = 64;
constexpr int64_t kLossReportUs = 60 * 1000000LL;

// A decimal number: digits, optionally a sign and a fraction.
bool IsDecimal(const std::string& text) {
  if (text.empty()) return false;
  size_t at = text.size() > 1 && text[0] == '-' ? 1 : 0;
  const size_t digits = text.find_first_not_of("0123456789", at);
  if (digits == at) return false;
  if (digits == std::string::npos) return true;
  return text[digits] == '.' && digits + 1 < text.size() &&
         text.find_first_not_of("0123456789", digits + 1) == std::string::npos;
}

}  // namespace

std::string Quoted(const std::string& payload) {
  std::string quoted = "'";
  for (size_t i = 0; i < payload.size() && i < kQuotedBytes; ++i) {
    const auto byte = static_cast<unsigned char>(payload[i]);
    if (byte >= ' ' && byte < 0x7F && byte != '\\') {
      quoted += static_cast<char>(byte);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      quoted += escaped;
    }
  }
  quoted += "'";
  if (payload.size() > kQuotedBytes)
    quoted += " (the first 64 of " + std::to_string(payload.size()) + " bytes)";
  return quoted;
}

bool ParseSetValue(const std::string& payload, uint16_t* value, std::string* why) {
  const char* blanks = " \t\r\n";
  const size_t begin = payload.find_first_not_of(blanks);
  const std::string text =
      begin == std::string::npos ? "" : payload.substr(begin, payload.find_last_not_of(blanks) - begin + 1);
  double number = -1;
  if (IsDecimal(text)) {
    number = std::strtod(text.c_str(), nullptr);
  } else {
    const auto object = nlohmann::json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object() || object.size() != 1 || !object.contains("value") ||
        !object["value"].is_number()) {
      *why = "the payload is no value (a number, or {\"value\": N}): " + Quoted(payload);
      return false;
    }
    number = object["value"].get<double>();
  }
  if (!(number >= 0 && number <= 65535) || number != std::floor(number)) {
    *why = "the value is not a whole number 0-65535: " + Quoted(payload);
    return false;
  }
  *value = static_cast<uint16_t>(number);
  return true;
}

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
  if (!config.caFile.empty() && !SetTls(error)) return false;
  mosquitto_reconnect_delay_set(client_, 1, 5, true);
  mosquitto_connect_callback_set(client_, Connected);
  mosquitto_disconnect_callback_set(client_, Disconnected);
  mosquitto_message_callback_set(client_, Message);
  mosquitto_publish_callback_set(client_, Published);
  const int connecting =
      mosquitto_connect_async(client_, config.host.c_str(), config.port, config.keepaliveS);
  if (connecting != MOSQ_ERR_SUCCESS) {
    Log(Level::Warning, "mqtt",
        config.host + ":" + std::to_string(config.port) + " not reached yet (" +
            mosquitto_strerror(connecting) + "); trying again");
  }
  mosquitto_loop_start(client_);
  if (connecting != MOSQ_ERR_SUCCESS) mosquitto_reconnect_async(client_);
  return true;
}

bool MqttLink::SetTls(std::string* error) {
  const char* cert = config_.certFile.empty() ? nullptr : config_.certFile.c_str();
  const char* key = config_.keyFile.empty() ? nullptr : config_.keyFile.c_str();
  int result = mosquitto_tls_set(client_, config_.caFile.c_str(), nullptr, cert, key, nullptr);
  if (result != MOSQ_ERR_SUCCESS) {
    *error = "mqtt: cannot use " + config_.caFile +
             (cert ? ", " + config_.certFile + " and " + config_.keyFile : "") + ": " +
             mosquitto_strerror(result);
    return false;
  }
  if (!config_.tlsVersion.empty()) {
    // 1: the broker's certificate is verified, as without the option.
    result = mosquitto_tls_opts_set(client_, 1, config_.tlsVersion.c_str(), nullptr);
    if (result != MOSQ_ERR_SUCCESS) {
      *error = "mqtt.tls_version: " + config_.tlsVersion + ": " + mosquitto_strerror(result);
      return false;
    }
  }
  return true;
}

size_t MqttLink::Buffered() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return unacknowledged_.size();
}

// The callbacks run on libmosquitto's thread: nothing thrown leaves them.
void MqttLink::Connected(mosquitto* client, void* self, int result) {
  auto* link = static_cast<MqttLink*>(self);
  try {
    if (result != 0) {
      Log(Level::Warning, "mqtt",
          std::string("the broker refused the connection: ") + mosquitto_connack_string(result));
      return;
    }
    if (!link->lossLogged_ || link->lostUnlogged_ == 0) {
      Log(Level::Info, "mqtt",
          "connected to " + link->config_.host + ":" + std::to_string(link->config_.port) + " as " +
              link->config_.clientId);
    }
    link->connected_ = true;
    const std::string prefix = link->config_.topicPrefix;
    mosquitto_subscribe(client, nullptr, (prefix + "/+/+/+/set").c_str(), link->config_.qos);
    link->Publish("gateway/status", kOnline);
    if (link->onConnected_) link->onConnected_();
  } catch (const std::exception& e) {
    Log(Level::Error, "mqtt", std::string("after connecting: ") + e.what());
  }
}

void MqttLink::Disconnected(mosquitto*, void* self, int result) {
  auto* link = static_cast<MqttLink*>(self);
  link->connected_ = false;
  if (link->config_.qos == 0) {
    // Messages of QoS 0 not sent yet are dropped with the connection.
    const std::lock_guard<std::mutex> lock(link->mutex_);
    link->unacknowledged_.clear();
  }
  if (result == 0) return;  // asked for
  const int64_t now = UnixMicroseconds();
  if (link->lossLogged_ && now - link->lostLoggedUs_ < kLossReportUs) {
    ++link->lostUnlogged_;
    return;
  }
  std::string text = "connection to " + link->config_.host + " lost";
  if (link->lostUnlogged_ > 0) {
    text += ", and " + std::to_string(link->lostUnlogged_) +
            " times more since the last report: a broker that restarts, or another client with client_id " +
            link->config_.clientId + " that takes the connection over";
  }
  Log(Level::Warning, "mqtt", text + "; reconnecting");
  link->lossLogged_ = true;
  link->lostUnlogged_ = 0;
  link->lostLoggedUs_ = now;
}

void MqttLink::Published(mosquitto*, void* self, int id) {
  auto* link = static_cast<MqttLink*>(self);
  const std::lock_guard<std::mutex> lock(link->mutex_);
  link->unacknowledged_.erase(id);
}

void MqttLink::Message(mosquitto*, void* self, const mosquitto_message* message) {
  auto* link = static_cast<MqttLink*>(self);
  try {
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
    if (link->onSet_) link->onSet_(line, std::stoi(station), point, payload, message->retain);
  } catch (const std::exception& e) {
    Log(Level::Error, "mqtt", "a message on " + Quoted(message->topic) + " failed: " + e.what());
  }
}

void MqttLink::Publish(const std::string& topic, const std::string& payload, bool retained) {
  if (client_ == nullptr) return;
  const std::string full = FullTopic(topic);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return;
  int id = 0;
  if (mosquitto_publish(client_, &id, full.c_str(), static_cast<int>(payload.size()), payload.data(),
                        config_.qos, retained) == MOSQ_ERR_SUCCESS) {
    unacknowledged_.insert(id);
  }
}

void MqttLink::Stop(const std::vector<std::pair<std::string, std::string>>& last, int waitMs) {
  if (client_ == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    auto publish = [this](const std::string& topic, const std::string& payload) {
      const std::string full = FullTopic(topic);
      int id = 0;
      // At least QoS 1, so that the broker's acknowledgement can be awaited.
      if (mosquitto_publish(client_, &id, full.c_str(), static_cast<int>(payload.size()), payload.data(),
                            std::max(config_.qos, 1), true) == MOSQ_ERR_SUCCESS) {
        unacknowledged_.insert(id);
      }
    };
    for (const auto& [topic, payload] : last) publish(topic, payload);
    publish("gateway/status", kOffline);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (std::chrono::steady_clock::now() < end) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (unacknowledged_.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  mosquitto_disconnect(client_);
}

}  // namespace gateway
