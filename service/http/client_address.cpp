// Which address a request comes from: the TCP peer, or the client a trusted proxy names.
#include "http/client_address.h"

#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <charconv>
#include <optional>
#include <vector>

namespace ip = boost::asio::ip;

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The address `text` spells exactly, or nothing. Boost reads a text only up to its first zero
// byte, which would let whatever follows one pass unseen.
std::optional<ip::address> ExactAddress(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  boost::system::error_code ec;
  const ip::address address = ip::make_address(text, ec);
  if (ec) return std::nullopt;
  return address;
}

std::optional<ip::address> ParseAddress(std::string_view text) {
  const std::optional<ip::address> address = ExactAddress(Trimmed(text));
  if (!address) return std::nullopt;
  return Unmapped(*address);
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
  if (text.find('\0') != std::string::npos) return false;
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
    // Clients are counted as IPv4, so IPv4-mapped networks are kept as IPv4 ones too; one that
    // reaches beyond the mapped addresses would match none of them.
    if (v6.address().is_v4_mapped()) {
      if (network.prefix < 96) return false;
      network.address = Unmapped(network.address);
      network.prefix -= 96;
    }
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

namespace {

constexpr std::string_view kProxySignature = "PROXY ";
constexpr size_t kMaxProxyLine = 107;

std::vector<std::string_view> SplitBlanks(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const size_t blank = text.find(' ');
    words.push_back(text.substr(0, blank));
    text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
  }
  return words;
}

bool IsPort(std::string_view text) {
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port <= 65535 &&
         !text.empty() && (text.size() == 1 || text[0] != '0');
}

}  // namespace

CProxyLine ParseProxyLine(std::string_view buffered) {
  CProxyLine line;
  const size_t compared = std::min(buffered.size(), kProxySignature.size());
  if (buffered.substr(0, compared) != kProxySignature.substr(0, compared)) return line;
  const size_t end = buffered.substr(0, kMaxProxyLine).find("\r\n");
  if (end == std::string_view::npos) {
    line.status = buffered.size() >= kMaxProxyLine ? CProxyLine::EStatus::kBad
                                                   : CProxyLine::EStatus::kNeedMore;
    return line;
  }
  line.status = CProxyLine::EStatus::kBad;
  const std::vector<std::string_view> words =
      SplitBlanks(buffered.substr(kProxySignature.size(), end - kProxySignature.size()));
  if (!words.empty() && words[0] == "UNKNOWN") {
    line.status = CProxyLine::EStatus::kComplete;
  } else if (words.size() == 5 && (words[0] == "TCP4" || words[0] == "TCP6") && IsPort(words[3]) &&
             IsPort(words[4])) {
    const std::optional<ip::address> source = ExactAddress(words[1]);
    const std::optional<ip::address> target = ExactAddress(words[2]);
    if (source && target && source->is_v4() == (words[0] == "TCP4") &&
        target->is_v4() == source->is_v4()) {
      line.status = CProxyLine::EStatus::kComplete;
      line.client = Unmapped(*source);
    }
  }
  if (line.status == CProxyLine::EStatus::kComplete) line.length = end + 2;
  return line;
}
