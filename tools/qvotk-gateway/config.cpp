#include "config.h"

#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "qvotk_host/host_facts.h"

namespace gateway {
namespace {

// A configuration error, where it stands.
struct Problem {
  std::string text;
};

class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void Fail(const toml::node* at, const std::string& key, const std::string& what) const {
    const int line = at != nullptr ? static_cast<int>(at->source().begin.line) : 0;
    throw Problem{file_ + ":" + std::to_string(line) + ": " + key + ": " + what};
  }

  // Refuses keys the table does not know.
  void OnlyKnown(const toml::table& table, const std::string& path, std::set<std::string> known) const {
    for (const auto& [key, value] : table) {
      if (known.count(std::string(key.str())) == 0) {
        Fail(&value, Join(path, std::string(key.str())), "unknown key");
      }
    }
  }

  // A bound as a reader writes it: 0.05, 1000000.
  static std::string Shown(double number) {
    char text[32];
    std::snprintf(text, sizeof text, number == static_cast<int64_t>(number) ? "%.0f" : "%g", number);
    return text;
  }

  static std::string Join(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
  }

  void Int(const toml::table& table, const std::string& path, const char* key, int* out, int low,
           int high) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    const auto value = node->value<int64_t>();
    if (!node->is_integer() || !value) Fail(node, Join(path, key), "must be a whole number");
    if (*value < low || *value > high) {
      Fail(node, Join(path, key), "must be " + std::to_string(low) + "-" + std::to_string(high));
    }
    *out = static_cast<int>(*value);
  }

  // A number, whole or not.
  void Number(const toml::table& table, const std::string& path, const char* key, double* out, double low,
              double high) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    const auto value = node->value<double>();
    if (!value || !(node->is_integer() || node->is_floating_point()))
      Fail(node, Join(path, key), "must be a number");
    if (!(*value >= low && *value <= high))
      Fail(node, Join(path, key), "must be " + Shown(low) + "-" + Shown(high));
    *out = *value;
  }

  void Text(const toml::table& table, const std::string& path, const char* key, std::string* out,
            bool required = false) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      if (required) Fail(&table, Join(path, key), "is required");
      return;
    }
    if (!node->is_string()) Fail(node, Join(path, key), "must be text");
    *out = *node->value<std::string>();
  }

  void Bool(const toml::table& table, const std::string& path, const char* key, bool* out) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    if (!node->is_boolean()) Fail(node, Join(path, key), "must be true or false");
    *out = *node->value<bool>();
  }

  // A list of IPv4 addresses and networks; left unset when the key is absent.
  void Ranges(const toml::table& table, const std::string& path, const char* key,
              std::optional<std::vector<Ipv4Range>>* out) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    const toml::array* array = node->as_array();
    if (array == nullptr)
      Fail(node, Join(path, key), "must be a list of addresses: [\"10.0.0.0/8\", \"127.0.0.1\"]");
    out->emplace();
    for (const toml::node& item : *array) {
      Ipv4Range range;
      std::string why;
      if (!item.is_string()) Fail(&item, Join(path, key), "must be a list of addresses, each in quotes");
      if (!ParseIpv4Range(*item.value<std::string>(), &range, &why)) Fail(&item, Join(path, key), why);
      (*out)->push_back(range);
    }
  }

  // A file the gateway reads, checked now rather than at start.
  void ReadableFile(const toml::table& table, const std::string& path, const char* key,
                    std::string* out) const {
    Text(table, path, key, out);
    if (!out->empty() && access(out->c_str(), R_OK) != 0) {
      Fail(table.get(key), Join(path, key), "cannot read " + *out + ": " + std::strerror(errno));
    }
  }

  void Choice(const toml::table& table, const std::string& path, const char* key, std::string* out,
              std::set<std::string> allowed) const {
    Text(table, path, key, out);
    if (allowed.count(*out) == 0) {
      std::string list;
      for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
      Fail(table.get(key), Join(path, key), "must be one of " + list);
    }
  }

  const toml::array* Tables(const toml::table& table, const std::string& path, const char* key) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return nullptr;
    const toml::array* array = node->as_array();
    if (array == nullptr || !array->is_array_of_tables())
      Fail(node, Join(path, key), "must be [[" + Join(path, key) + "]] tables");
    return array;
  }

  const toml::table* Table(const toml::table& table, const char* key) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return nullptr;
    if (!node->is_table()) Fail(node, key, "must be a [" + std::string(key) + "] table");
    return node->as_table();
  }

 private:
  std::string file_;
};

// What an MQTT topic level may not hold, or a topic's levels: the
// wildcards, NUL, blanks and control characters; and no level may be
// empty, or start the topic with '$', which brokers keep for themselves.
bool IsTopic(const std::string& text, bool levels) {
  if (text.empty() || text[0] == '$' || text.front() == '/' || text.back() == '/') return false;
  if (text.find("//") != std::string::npos) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F || c == '+' || c == '#' || (c == '/' && !levels)) return false;
  }
  return true;
}

void ReadPoint(const Reader& r, const toml::table& t, const std::string& path, PointConfig* point) {
  r.OnlyKnown(t, path, {"name", "count", "register", "interval_ms", "publish_every_s", "read_only"});
  r.Text(t, path, "name", &point->name, true);
  const bool block = point->name == "block";
  const bool valid = point->name == "S" || (point->name.size() == 3 &&
                                            point->name.find_first_not_of("0123456789") == std::string::npos);
  if (!block && !valid) r.Fail(t.get("name"), path + ".name", "must be S, three digits 000-999, or block");
  if (block) {
    if (t.get("count") == nullptr) r.Fail(&t, path + ".count", "is required for a block");
    r.Int(t, path, "count", &point->blockCount, 1, 255);
  } else if (t.get("count") != nullptr) {
    r.Fail(t.get("count"), path + ".count", "belongs to a block only");
  }
  r.Int(t, path, "register", &point->reg, 0, 65535);
  r.Int(t, path, "interval_ms", &point->intervalMs, 10, 86400000);
  r.Int(t, path, "publish_every_s", &point->publishEveryS, 1, 86400);
  r.Bool(t, path, "read_only", &point->readOnly);
}

void ReadStation(const Reader& r, const toml::table& t, const std::string& path, StationConfig* station) {
  r.OnlyKnown(t, path, {"address", "unit_id", "max_age_s", "read_only", "point"});
  if (t.get("address") == nullptr) r.Fail(&t, path + ".address", "is required");
  r.Int(t, path, "address", &station->address, 0, 9999);
  r.Int(t, path, "unit_id", &station->unitId, 0, 255);
  r.Int(t, path, "max_age_s", &station->maxAgeS, 1, 86400);
  r.Bool(t, path, "read_only", &station->readOnly);
  const toml::array* points = r.Tables(t, path, "point");
  if (points == nullptr || points->empty()) r.Fail(&t, path + ".point", "a station needs at least one point");
  for (const toml::node& node : *points) {
    PointConfig point;
    point.readOnly = station->readOnly;
    ReadPoint(r, *node.as_table(), path + ".point", &point);
    station->points.push_back(point);
  }
}

void ReadLine(const Reader& r, const toml::table& t, const std::string& path, LineConfig* line) {
  r.OnlyKnown(t, path, {"name", "port", "baud", "data_bits", "parity", "stop_bits", "timeout_ms", "station"});
  r.Text(t, path, "name", &line->name, true);
  if (!IsTopic(line->name, false)) {
    r.Fail(t.get("name"), path + ".name",
           "must be one topic level: not empty, no '/', '+', '#', NUL, blanks or control characters, and no "
           "leading '$'");
  }
  r.Text(t, path, "port", &line->port, true);
  if (!qvotk_host::FitPortName(line->port, &line->port)) {
    r.Fail(t.get("port"), path + ".port",
           "the driver takes port names of at most 11 characters (ttyUSB0, pts/3, a path under /dev): link a "
           "longer name to a short one");
  }
  r.Int(t, path, "baud", &line->baud, 1, 65535);
  r.Int(t, path, "data_bits", &line->dataBits, 5, 8);
  r.Choice(t, path, "parity", &line->parity, {"none", "odd", "even", "mark", "space"});
  r.Choice(t, path, "stop_bits", &line->stopBits, {"1", "1.5", "2"});
  r.Int(t, path, "timeout_ms", &line->timeoutMs, 10, 600000);
  const toml::array* stations = r.Tables(t, path, "station");
  if (stations == nullptr || stations->empty())
    r.Fail(&t, path + ".station", "a line needs at least one station");
  for (const toml::node& node : *stations) {
    StationConfig station;
    ReadStation(r, *node.as_table(), path + ".station", &station);
    line->stations.push_back(station);
  }
}

void ReadGateway(const Reader& r, const toml::table& g, Config* config) {
  r.OnlyKnown(g, "gateway",
              {"driver", "offline_after_failures", "retry_offline_s", "stats_interval_s", "max_queued_writes",
               "health_window_s", "state_directory"});
  r.Text(g, "gateway", "driver", &config->driver);
  r.Int(g, "gateway", "offline_after_failures", &config->offlineAfterFailures, 1, 1000);
  r.Int(g, "gateway", "retry_offline_s", &config->retryOfflineS, 1, 86400);
  r.Int(g, "gateway", "stats_interval_s", &config->statsIntervalS, 1, 86400);
  r.Int(g, "gateway", "max_queued_writes", &config->maxQueuedWrites, 1, 1024);
  r.Int(g, "gateway", "health_window_s", &config->healthWindowS, 1, 3600);
  r.Text(g, "gateway", "state_directory", &config->stateDirectory);
  if (config->stateDirectory.empty()) r.Fail(g.get("state_directory"), "gateway.state_directory", "is empty");
}

void ReadModbus(const Reader& r, const toml::table& m, ModbusConfig* modbus) {
  r.OnlyKnown(m, "modbus",
              {"listen", "port", "max_clients", "write_timeout_ms", "idle_timeout_s", "evict_idle_s",
               "read_only", "allow", "write_allow"});
  modbus->enabled = true;
  r.Text(m, "modbus", "listen", &modbus->listen);
  Ipv4Range listen;
  std::string why;
  if (!ParseIpv4Range(modbus->listen, &listen, &why) || listen.mask != ~uint32_t{0}) {
    r.Fail(m.get("listen"), "modbus.listen", "must be one IPv4 address to listen on (0.0.0.0: all)");
  }
  r.Int(m, "modbus", "port", &modbus->port, 1, 65535);
  r.Int(m, "modbus", "max_clients", &modbus->maxClients, 1, 1024);
  r.Int(m, "modbus", "write_timeout_ms", &modbus->writeTimeoutMs, 10, 600000);
  r.Int(m, "modbus", "idle_timeout_s", &modbus->idleTimeoutS, 1, 86400);
  r.Int(m, "modbus", "evict_idle_s", &modbus->evictIdleS, 1, 86400);
  r.Bool(m, "modbus", "read_only", &modbus->access.readOnly);
  r.Ranges(m, "modbus", "allow", &modbus->access.allow);
  // An empty list would let nobody in: more likely a slip than a wish.
  if (modbus->access.allow && modbus->access.allow->empty()) {
    r.Fail(m.get("allow"), "modbus.allow", "lets no client in: name the addresses, or leave the key out");
  }
  r.Ranges(m, "modbus", "write_allow", &modbus->access.writeAllow);
}

// The password from its file, one trailing line end dropped.
std::string PasswordFrom(const Reader& r, const toml::table& q, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string password = text.str();
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (!in || password.empty())
    r.Fail(q.get("password_file"), "mqtt.password_file", file + " holds no password");
  return password;
}

void ReadTls(const Reader& r, const toml::table& q, MqttConfig* mqtt) {
  r.ReadableFile(q, "mqtt", "ca_file", &mqtt->caFile);
  r.ReadableFile(q, "mqtt", "cert_file", &mqtt->certFile);
  r.ReadableFile(q, "mqtt", "key_file", &mqtt->keyFile);
  r.Text(q, "mqtt", "tls_version", &mqtt->tlsVersion);
  if (mqtt->certFile.empty() != mqtt->keyFile.empty()) {
    r.Fail(q.get(mqtt->certFile.empty() ? "key_file" : "cert_file"), "mqtt.cert_file",
           "cert_file and key_file go together");
  }
  if (!mqtt->tlsVersion.empty() && mqtt->tlsVersion != "tlsv1.2" && mqtt->tlsVersion != "tlsv1.3") {
    r.Fail(q.get("tls_version"), "mqtt.tls_version", "must be tlsv1.2 or tlsv1.3");
  }
  for (const char* key : {"cert_file", "tls_version"}) {
    if (q.get(key) != nullptr && mqtt->caFile.empty()) {
      r.Fail(q.get(key), std::string("mqtt.") + key, "needs ca_file: TLS is on when ca_file is set");
    }
  }
}

void ReadMqtt(const Reader& r, const toml::table& q, MqttConfig* mqtt) {
  r.OnlyKnown(q, "mqtt",
              {"host", "port", "client_id", "topic_prefix", "qos", "username", "password", "password_file",
               "ca_file", "cert_file", "key_file", "tls_version", "keepalive_s", "write_timeout_ms",
               "buffer_max_mb", "backlog_rate"});
  mqtt->enabled = true;
  r.Text(q, "mqtt", "host", &mqtt->host);
  r.Int(q, "mqtt", "port", &mqtt->port, 1, 65535);
  r.Text(q, "mqtt", "client_id", &mqtt->clientId);
  r.Text(q, "mqtt", "topic_prefix", &mqtt->topicPrefix);
  r.Int(q, "mqtt", "qos", &mqtt->qos, 0, 2);
  r.Text(q, "mqtt", "username", &mqtt->username);
  r.Text(q, "mqtt", "password", &mqtt->password);
  r.ReadableFile(q, "mqtt", "password_file", &mqtt->passwordFile);
  if (!mqtt->passwordFile.empty()) {
    if (q.get("password") != nullptr)
      r.Fail(q.get("password"), "mqtt.password", "and password_file: one of them");
    mqtt->password = PasswordFrom(r, q, mqtt->passwordFile);
  }
  if (!mqtt->password.empty() && mqtt->username.empty()) {
    r.Fail(q.get(mqtt->passwordFile.empty() ? "password" : "password_file"), "mqtt.username",
           "is required with a password");
  }
  ReadTls(r, q, mqtt);
  r.Int(q, "mqtt", "keepalive_s", &mqtt->keepaliveS, 5, 3600);
  r.Int(q, "mqtt", "write_timeout_ms", &mqtt->writeTimeoutMs, 10, 600000);
  r.Number(q, "mqtt", "buffer_max_mb", &mqtt->bufferMaxMb, 0.05, 1e6);
  r.Int(q, "mqtt", "backlog_rate", &mqtt->backlogRate, 1, 100000);
  if (!IsTopic(mqtt->topicPrefix, true)) {
    r.Fail(
        q.get("topic_prefix"), "mqtt.topic_prefix",
        "must be a topic: no '+', '#', NUL, blanks, control characters or empty levels, and no leading '$'");
  }
}

void ReadMetrics(const Reader& r, const toml::table& t, MetricsConfig* metrics) {
  r.OnlyKnown(t, "metrics", {"listen"});
  metrics->enabled = true;
  r.Text(t, "metrics", "listen", &metrics->listen);
  const size_t colon = metrics->listen.rfind(':');
  const std::string port = colon == std::string::npos ? "" : metrics->listen.substr(colon + 1);
  Ipv4Range address;
  std::string why;
  const bool good = ParseIpv4Range(metrics->listen.substr(0, colon), &address, &why) &&
                    address.mask == ~uint32_t{0} && !port.empty() && port.size() <= 5 &&
                    port.find_first_not_of("0123456789") == std::string::npos && port[0] != '0' &&
                    std::stoi(port) <= 65535;
  if (!good) r.Fail(t.get("listen"), "metrics.listen", "must be an IPv4 address and a port: 127.0.0.1:9102");
}

void Check(const Reader& r, const toml::table& root, const Config& config) {
  std::set<std::string> names, ports;
  std::set<int> units;
  const toml::array* lines = root.get("line")->as_array();
  for (size_t i = 0; i < config.lines.size(); ++i) {
    const LineConfig& line = config.lines[i];
    const toml::table& t = *(*lines)[i].as_table();
    if (!names.insert(line.name).second)
      r.Fail(t.get("name"), "line.name", "'" + line.name + "' is used twice");
    if (!ports.insert(line.port).second) r.Fail(t.get("port"), "line.port", line.port + " is used twice");
    std::set<int> addresses;
    const toml::array& stations = *t.get("station")->as_array();
    for (size_t s = 0; s < line.stations.size(); ++s) {
      const StationConfig& station = line.stations[s];
      const toml::table& st = *stations[s].as_table();
      if (!addresses.insert(station.address).second) {
        r.Fail(st.get("address"), "line.station.address",
               std::to_string(station.address) + " is used twice on " + line.name);
      }
      if (station.unitId >= 0 && !units.insert(station.unitId).second) {
        r.Fail(st.get("unit_id"), "line.station.unit_id",
               std::to_string(station.unitId) + " serves two stations");
      }
      std::set<int> taken;
      const toml::array& points = *st.get("point")->as_array();
      for (size_t p = 0; p < station.points.size(); ++p) {
        const PointConfig& point = station.points[p];
        if (point.reg < 0) continue;
        const int width = point.name == "block" ? point.blockCount : 1;
        for (int reg = point.reg; reg < point.reg + width; ++reg) {
          if (reg > 65535 || !taken.insert(reg).second) {
            r.Fail(points[p].as_table()->get("register"), "line.station.point.register",
                   "register " + std::to_string(reg) + " of unit " + std::to_string(station.unitId) +
                       " is taken twice, or past 65535");
          }
        }
      }
    }
  }
}

}  // namespace

bool LoadConfig(const std::string& path, Config* config, std::string* error) {
  *config = Config{};
  config->file = path;
  const Reader r(path);
  try {
    toml::table root;
    try {
      root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
      throw Problem{path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description())};
    }
    r.OnlyKnown(root, "", {"gateway", "line", "modbus", "mqtt", "metrics"});
    if (const toml::table* g = r.Table(root, "gateway")) ReadGateway(r, *g, config);
    const toml::array* lines = r.Tables(root, "", "line");
    if (lines == nullptr || lines->empty()) r.Fail(&root, "line", "at least one [[line]] is needed");
    for (const toml::node& node : *lines) {
      LineConfig line;
      ReadLine(r, *node.as_table(), "line", &line);
      config->lines.push_back(line);
    }
    if (const toml::table* m = r.Table(root, "modbus")) ReadModbus(r, *m, &config->modbus);
    if (const toml::table* q = r.Table(root, "mqtt")) ReadMqtt(r, *q, &config->mqtt);
    if (const toml::table* t = r.Table(root, "metrics")) ReadMetrics(r, *t, &config->metrics);
    if (config->mqtt.clientId.empty()) {
      char host[256] = "";
      gethostname(host, sizeof host - 1);
      config->mqtt.clientId = "qvotk-gateway-" + std::string(host) + "-" + config->lines.front().name;
    }
    Check(r, root, *config);
  } catch (const Problem& problem) {
    *error = problem.text;
    return false;
  }
  return true;
}

std::vector<std::string> ConfigWarnings(const Config& config) {
  std::vector<std::string> warnings;
  auto readableByOthers = [](const std::string& file) {
    struct stat status {};
    return stat(file.c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0;
  };
  const MqttConfig& mqtt = config.mqtt;
  const std::string secret = mqtt.passwordFile.empty() ? config.file : mqtt.passwordFile;
  if (mqtt.enabled && !mqtt.password.empty() && readableByOthers(secret)) {
    warnings.push_back(secret + " holds the MQTT password, and any user may read it: chmod o-r " + secret +
                       " (0640, owned by root and the gateway's group, say)");
  }
  return warnings;
}

}  // namespace gateway
