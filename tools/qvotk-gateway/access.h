// Who may reach the Modbus server and who may write through it: lists of
// IPv4 addresses and networks ("10.0.0.0/8", "127.0.0.1"), and a switch
// that makes every write refused. A client is named by its address alone,
// however it is served.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace gateway {

struct Ipv4Range {
  uint32_t network = 0;  // host order
  uint32_t mask = 0;
  std::string text;  // as configured
  bool Contains(uint32_t address) const { return (address & mask) == network; }
};

// "a.b.c.d" or "a.b.c.d/n" (n 0-32, no bits set past it), nothing else: no
// blanks, no leading zeros, no IPv6; false with the reason.
bool ParseIpv4Range(const std::string& text, Ipv4Range* range, std::string* why);

struct AccessRules {
  bool readOnly = false;                             // every write refused
  std::optional<std::vector<Ipv4Range>> allow;       // who may connect; none: anyone
  std::optional<std::vector<Ipv4Range>> writeAllow;  // who may write; none: whoever may connect

  bool MayConnect(uint32_t address) const { return !allow || Within(*allow, address); }
  bool MayWrite(uint32_t address) const { return !readOnly && (!writeAllow || Within(*writeAllow, address)); }
  // What the rules let anyone who reaches the listener do, for the start's log.
  std::string Summary(const std::string& listener) const;

 private:
  static bool Within(const std::vector<Ipv4Range>& ranges, uint32_t address);
};

// "a.b.c.d" of a host-order address.
std::string Ipv4Text(uint32_t address);

// Remembers the addresses already logged for a refusal, so that a client
// that keeps trying fills no log: true the first time for an address.
class OncePerAddress {
 public:
  bool First(uint32_t address);

 private:
  static constexpr size_t kRemembered = 4096;
  std::mutex mutex_;
  std::set<uint32_t> seen_;
};

}  // namespace gateway
