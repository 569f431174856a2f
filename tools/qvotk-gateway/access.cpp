#include "access.h"

#include <arpa/inet.h>

namespace gateway {

bool ParseIpv4Range(const std::string& text, Ipv4Range* range, std::string* why) {
  const size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  in_addr parsed{};
  // inet_pton takes exactly four decimal parts, without leading zeros.
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    *why = "'" + text + "' is no IPv4 address (a.b.c.d, or a network a.b.c.d/n)";
    return false;
  }
  int prefix = 32;
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    const bool digits = !bits.empty() && bits.size() <= 2 &&
                        bits.find_first_not_of("0123456789") == std::string::npos &&
                        (bits.size() == 1 || bits[0] != '0');
    prefix = digits ? std::stoi(bits) : -1;
    if (prefix < 0 || prefix > 32) {
      *why = "'" + text + "': the prefix after '/' must be 0-32";
      return false;
    }
  }
  range->mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  range->network = ntohl(parsed.s_addr);
  range->text = text;
  if ((range->network & ~range->mask) != 0) {
    *why = "'" + text + "' has bits set past its /" + std::to_string(prefix) + ": the network is " +
           Ipv4Text(range->network & range->mask) + "/" + std::to_string(prefix);
    return false;
  }
  return true;
}

std::string Ipv4Text(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "";
  const in_addr network = {htonl(address)};
  inet_ntop(AF_INET, &network, text, sizeof text);
  return text;
}

bool AccessRules::Within(const std::vector<Ipv4Range>& ranges, uint32_t address) {
  for (const Ipv4Range& range : ranges) {
    if (range.Contains(address)) return true;
  }
  return false;
}

std::string AccessRules::Summary(const std::string& listener) const {
  if (allow) return "";
  std::string can = "read and write";
  if (readOnly) can = "read (read_only is set)";
  if (!readOnly && writeAllow) can = "read (writes only from write_allow)";
  return "no allow list: any client that reaches " + listener + " may " + can;
}

bool OncePerAddress::First(uint32_t address) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (seen_.size() >= kRemembered) seen_.clear();
  return seen_.insert(address).second;
}

}  // namespace gateway
