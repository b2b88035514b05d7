// Which address a request comes from: the TCP peer, or the client a trusted proxy names.
#include "http/client_address.h"

#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <optional>

namespace ip = boost::asio::ip;

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<ip::address> ParseAddress(std::string_view text) {
  boost::system::error_code ec;
  const ip::address address = ip::make_address(Trimmed(text), ec);
  if (ec) return std::nullopt;
  return Unmapped(address);
}

// Whether the first `prefix` bits of two byte strings of one length agree.
template <class Bytes>
bool SamePrefix(const Bytes& a, const Bytes& b, unsigned prefix) {
  for (size_t i = 0; i < a.size() && prefix > 0; ++i, prefix = prefix >= 8 ? prefix - 8 : 0) {
    const unsigned bits = prefix >= 8 ? 8 : prefix;
    const unsigned mask = (0xFFu << (8 - bits)) & 0xFFu;
    if ((a[i] & mask) != (b[i] & mask)) return false;
  }
  return true;
}

}  // namespace

ip::address Unmapped(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  }
  return address;
}

bool CTrustedProxies::Add(std::string_view cidr) {
  const std::string text(Trimmed(cidr));
  boost::system::error_code ec;
  CNetwork network;
  if (text.find('/') == std::string::npos) {
    const std::optional<ip::address> address = ParseAddress(text);
    if (!address) return false;
    network.address = *address;
    network.prefix = address->is_v4() ? 32 : 128;
  } else if (const ip::network_v4 v4 = ip::make_network_v4(text, ec); !ec) {
    network.address = v4.address();
    network.prefix = v4.prefix_length();
  } else if (const ip::network_v6 v6 = ip::make_network_v6(text, ec); !ec) {
    network.address = v6.address();
    network.prefix = v6.prefix_length();
  } else {
    return false;
  }
  m_networks.push_back(network);
  return true;
}

bool CTrustedProxies::Contains(const ip::address& address) const {
  const ip::address plain = Unmapped(address);
  for (const CNetwork& network : m_networks) {
    if (plain.is_v4() && network.address.is_v4() &&
        SamePrefix(plain.to_v4().to_bytes(), network.address.to_v4().to_bytes(), network.prefix)) {
      return true;
    }
    if (plain.is_v6() && network.address.is_v6() &&
        SamePrefix(plain.to_v6().to_bytes(), network.address.to_v6().to_bytes(), network.prefix)) {
      return true;
    }
  }
  return false;
}

std::string ClientAddress(const ip::address& peer, const CTrustedProxies& proxies,
                          std::string_view forwardedFor, std::string_view realIp) {
  ip::address client = Unmapped(peer);
  if (!proxies.Contains(client)) return client.to_string();
  if (Trimmed(forwardedFor).empty()) {
    const std::optional<ip::address> real = ParseAddress(realIp);
    return (real ? *real : client).to_string();
  }
  // Each proxy appends the address it received the request from: walk back from the nearest.
  std::string_view rest = forwardedFor;
  while (!rest.empty()) {
    const size_t comma = rest.rfind(',');
    const std::string_view entry = comma == std::string_view::npos ? rest : rest.substr(comma + 1);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    const std::optional<ip::address> hop = ParseAddress(entry);
    if (!hop) break;
    client = *hop;
    if (!proxies.Contains(client)) break;
  }
  return client.to_string();
}
