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
constexpr int64_t kDropReportUs = 60 * 1000000LL;
// How often kept messages go to disk: a power cut loses at most this much.
constexpr auto kForwardTick = std::chrono::milliseconds(100);
// What was in flight when the broker went is waited for this long at most
// after a reconnect, before live values flow again.
constexpr int64_t kFromBeforeUs = 500000;

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

std::string Megabytes(double megabytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%g MB", megabytes);
  return text;
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
  Flush();
  if (client_ != nullptr) {
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
  }
}

bool MqttLink::Start(const MqttConfig& config, const std::string& stateDirectory, OnSet onSet,
                     std::function<void()> onConnected, std::string* error) {
  config_ = config;
  onSet_ = std::move(onSet);
  onConnected_ = std::move(onConnected);
  if (!backlog_.Open(stateDirectory, static_cast<size_t>(config.bufferMaxMb * 1024 * 1024), error)) {
    *error = "mqtt: cannot keep values while the broker is away: " + *error;
    return false;
  }
  if (backlog_.size() > 0) {
    Log(Level::Info, "mqtt",
        std::to_string(backlog_.size()) + " values kept by an earlier run go out once the broker is reached");
  }
  forward_ = std::thread([this] { Forward(); });
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
  // Every second: values flow again within about a second of the broker's return.
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
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
  const size_t live = unacknowledged_.size() - std::min(unacknowledged_.size(), keptInFlight_.size());
  return live + away_.size() + backlog_.size();
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
    bool ready = false;
    {
      const std::lock_guard<std::mutex> lock(link->mutex_);
      link->connected_ = true;
      link->connectedUs_ = UnixMicroseconds();
      link->fromBefore_ = link->unacknowledged_;
      ready = link->fromBefore_.empty();
    }
    const std::string prefix = link->config_.topicPrefix;
    mosquitto_subscribe(client, nullptr, (prefix + "/+/+/+/set").c_str(), link->config_.qos);
    link->Publish("gateway/status", kOnline);
    if (ready) link->Ready();
  } catch (const std::exception& e) {
    Log(Level::Error, "mqtt", std::string("after connecting: ") + e.what());
  }
}

void MqttLink::Disconnected(mosquitto*, void* self, int result) {
  auto* link = static_cast<MqttLink*>(self);
  {
    const std::lock_guard<std::mutex> lock(link->mutex_);
    link->connected_ = false;
    link->ready_ = false;
    link->currentSent_ = false;
    if (link->config_.qos == 0) {
      // Messages of QoS 0 not sent yet are dropped with the connection;
      // the kept ones among them are sent again.
      link->unacknowledged_.clear();
      for (const auto& [id, kept] : link->keptInFlight_)
        link->sentUpTo_ = std::min(link->sentUpTo_, kept - 1);
      link->keptInFlight_.clear();
    }
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
  bool ready = false;
  {
    const std::lock_guard<std::mutex> lock(link->mutex_);
    link->unacknowledged_.erase(id);
    const auto kept = link->keptInFlight_.find(id);
    if (kept != link->keptInFlight_.end()) {
      link->taken_.push_back(kept->second);
      link->keptInFlight_.erase(kept);
    }
    ready = link->fromBefore_.erase(id) > 0 && link->fromBefore_.empty() && link->connected_;
  }
  try {
    if (ready) link->Ready();
  } catch (const std::exception& e) {
    Log(Level::Error, "mqtt", std::string("after reconnecting: ") + e.what());
  }
}

void MqttLink::Ready() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ready_ || !connected_) return;
    ready_ = true;
    fromBefore_.clear();
  }
  if (onConnected_) onConnected_();
  currentSent_ = true;
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

int MqttLink::Send(const std::string& full, const std::string& payload, int qos, bool retained) {
  int id = 0;
  if (mosquitto_publish(client_, &id, full.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                        retained) != MOSQ_ERR_SUCCESS) {
    return 0;
  }
  unacknowledged_.insert(id);
  return id;
}

void MqttLink::Publish(const std::string& topic, const std::string& payload, bool retained) {
  if (client_ == nullptr) return;
  const std::string full = FullTopic(topic);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!closing_) Send(full, payload, config_.qos, retained);
}

bool MqttLink::Keep(const std::string& topic, const std::string& payload, const std::string& whileAway) {
  if (client_ == nullptr) return false;
  const std::string full = FullTopic(topic);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (ready_ && !closing_) {
    Send(full, payload, config_.qos, true);
    return true;
  }
  if (!stopping_) away_.push_back({0, full + "/backlog", whileAway});
  return false;
}

void MqttLink::Forward() {
  auto last = std::chrono::steady_clock::now();
  double allowance = 0;
  for (;;) {
    std::vector<Backlog::Message> batch;
    std::vector<int64_t> taken;
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kForwardTick, [this] { return stopping_; });
      stopping = stopping_;
      batch.swap(away_);
      taken.swap(taken_);
    }
    std::string error;
    const int64_t now = UnixMicroseconds();
    // A disk that refuses them refuses the next ones too: said once a minute.
    if (!backlog_.Append(batch, &error) && now - refusedReportedUs_ >= kDropReportUs) {
      Log(Level::Error, "mqtt", "values kept while the broker is away are lost: " + error);
      refusedReportedUs_ = now;
    }
    backlog_.Remove(taken);
    ReportDrops(now);
    if (stopping) return;
    bool late = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      late = connected_ && !ready_ && now - connectedUs_ > kFromBeforeUs;
    }
    if (late) Ready();
    const auto tick = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(tick - last).count();
    last = tick;
    // Up to a second's worth, and not more in flight than that.
    allowance =
        currentSent_ ? std::min<double>(allowance + seconds * config_.backlogRate, config_.backlogRate) : 0;
    SendKept(&allowance);
  }
}

void MqttLink::SendKept(double* allowance) {
  size_t room = 0;
  int64_t after = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto rate = static_cast<size_t>(config_.backlogRate);
    room = std::min(static_cast<size_t>(*allowance), rate - std::min(rate, keptInFlight_.size()));
    after = sentUpTo_;
  }
  if (room == 0 || backlog_.size() == 0) return;
  for (const Backlog::Message& kept : backlog_.Oldest(after, room)) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_ || closing_) return;
    const int id = Send(kept.topic, kept.payload, config_.qos, false);
    if (id == 0) return;
    keptInFlight_[id] = kept.id;
    sentUpTo_ = kept.id;
    *allowance -= 1;
  }
}

void MqttLink::ReportDrops(int64_t now) {
  const uint64_t dropped = backlog_.dropped();
  if (dropped == dropsReported_ || now - dropsReportedUs_ < kDropReportUs) return;
  Log(Level::Warning, "mqtt",
      "the values kept while the broker is away reached buffer_max_mb (" + Megabytes(config_.bufferMaxMb) +
          "): " + std::to_string(dropped - dropsReported_) +
          " of the oldest dropped since the last report, " + std::to_string(dropped) + " in all");
  dropsReported_ = dropped;
  dropsReportedUs_ = now;
}

void MqttLink::Stop(const std::vector<std::pair<std::string, std::string>>& last, int waitMs) {
  if (client_ == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    // At least QoS 1, so that the broker's acknowledgement can be awaited.
    auto publish = [this](const std::string& topic, const std::string& payload) {
      Send(FullTopic(topic), payload, std::max(config_.qos, 1), true);
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

void MqttLink::Flush() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (forward_.joinable()) forward_.join();
}

}  // namespace gateway
