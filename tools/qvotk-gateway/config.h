// The gateway's configuration, read from TOML: the lines and their
// stations and points, the Modbus TCP listener and the MQTT broker. Every
// key is known; anything else is an error that names the file, the line
// and the key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "access.h"

namespace gateway {

struct PointConfig {
  std::string name;    // "S", "000"-"999", or "block"
  int blockCount = 0;  // values of a block
  int reg = -1;        // first holding register, -1: not on Modbus
  int intervalMs = 1000;
  int publishEveryS = 60;  // published at least this often, changed or not
  bool readOnly = false;   // its own key, or its station's
};

struct StationConfig {
  int address = 0;
  int unitId = -1;   // Modbus unit id serving it, -1: none
  int maxAgeS = 10;  // an older value answers Modbus exception 0x0B
  bool readOnly = false;
  std::vector<PointConfig> points;
};

struct LineConfig {
  std::string name;
  std::string port;  // as the driver opens it
  int baud = 9600;
  int dataBits = 8;
  std::string parity = "none";
  std::string stopBits = "1";
  int timeoutMs = 100;
  std::vector<StationConfig> stations;

  // The same line to the driver: port, settings and time-out.
  bool SameLineAs(const LineConfig& other) const {
    return port == other.port && baud == other.baud && dataBits == other.dataBits && parity == other.parity &&
           stopBits == other.stopBits && timeoutMs == other.timeoutMs;
  }
};

struct ModbusConfig {
  bool enabled = false;
  std::string listen = "0.0.0.0";
  int port = 502;
  int maxClients = 32;
  int writeTimeoutMs = 1000;  // a write not started by then is answered 0x0B
  int idleTimeoutS = 60;      // a client silent this long is let go
  // At max_clients, a new client closes the connection idle longest, if
  // it has been silent this long.
  int evictIdleS = 10;
  AccessRules access;  // read_only, allow, write_allow
};

struct MqttConfig {
  bool enabled = false;
  std::string host = "127.0.0.1";
  int port = 1883;
  // By default qvotk-gateway-<host name>-<first line's name>: two gateways
  // left with the default do not throw each other off the broker.
  std::string clientId;
  std::string topicPrefix = "qvotk";
  int qos = 1;
  std::string username;
  std::string password;           // from the file, or from password_file
  std::string passwordFile;       // where the password was read, when it was
  std::string caFile;             // TLS when set
  std::string certFile, keyFile;  // the gateway's own certificate, for brokers that ask for one
  std::string tlsVersion;         // "tlsv1.2" (or later) or "tlsv1.3"; "": libmosquitto's choice
  int keepaliveS = 30;
  int writeTimeoutMs = 1000;  // a write not started by then is answered "expired"
  // What cannot be published while the broker is away is kept on disk, in
  // at most this much; past it the oldest go.
  double bufferMaxMb = 64;
  int backlogRate = 200;  // kept values a second, once the broker is back
};

struct MetricsConfig {
  bool enabled = false;
  std::string listen = "127.0.0.1:9102";  // Prometheus scrapes /metrics here
};

struct Config {
  std::string file;
  std::string driver;            // the driver library; "": the one beside the gateway
  int offlineAfterFailures = 3;  // rounds in a row
  int retryOfflineS = 10;
  int statsIntervalS = 60;
  int maxQueuedWrites = 16;  // per line; a write past them is answered "busy"
  int healthWindowS = 10;    // a line read below 80% of its rate this long is logged
  std::string stateDirectory = "/var/lib/qvotk-gateway";  // what lasts from one run to the next
  std::vector<LineConfig> lines;
  ModbusConfig modbus;
  MqttConfig mqtt;
  MetricsConfig metrics;
};

// Reads and checks `path`; false with "FILE:LINE: key: what is wrong".
bool LoadConfig(const std::string& path, Config* config, std::string* error);

// What is allowed but unwise: a password that others may read.
std::vector<std::string> ConfigWarnings(const Config& config);

}  // namespace gateway
