// Which address a request comes from: the TCP peer, or the client a trusted proxy names.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The networks whose hosts are proxies in front of the service (nginx on the same machine, a load
// balancer). Only their X-Forwarded-For, X-Real-IP and X-Forwarded-Proto are believed. Immutable
// once built, so any thread may use it.
class CTrustedProxies {
 public:
  // Adds "ADDR" or "ADDR/PREFIX", IPv4 or IPv6; false, adding nothing, when `cidr` is neither,
  // or is an IPv4-mapped network wider than the mapped addresses (shorter than /96).
  bool Add(std::string_view cidr);
  bool Empty() const { return m_networks.empty(); }
  bool Contains(const boost::asio::ip::address& address) const;

 private:
  struct CNetwork {
    boost::asio::ip::address address;  // IPv4-mapped IPv6 is kept as IPv4
    unsigned prefix = 0;
  };
  std::vector<CNetwork> m_networks;
};

// `address` as the service counts it: IPv4-mapped IPv6 becomes IPv4.
boost::asio::ip::address Unmapped(const boost::asio::ip::address& address);

// The client's own address. For a peer outside `proxies`: the peer. For a trusted peer: the
// right-most address of `forwardedFor` (the X-Forwarded-For values in the order received, joined
// by commas) that is not itself trusted, or the left-most when all are; an entry that is not an IP
// address ends the walk at the trusted address to its right. Without X-Forwarded-For, a valid
// `realIp` (X-Real-IP); without either, the peer.
std::string ClientAddress(const boost::asio::ip::address& peer, const CTrustedProxies& proxies,
                          std::string_view forwardedFor, std::string_view realIp);

// The PROXY protocol's first line (version 1), with which a TCP proxy (nginx's stream module)
// names the client before passing on the client's bytes untouched: "PROXY TCP4 SRC DST SPORT
// DPORT\r\n", "PROXY TCP6 ...", or "PROXY UNKNOWN ...\r\n"; 107 bytes at most.
struct CProxyLine {
  enum class EStatus {
    kAbsent,    // the bytes do not start with a PROXY line
    kNeedMore,  // they may, once more arrive
    kBad,       // a PROXY line that breaks the protocol
    kComplete,
  };
  EStatus status = EStatus::kAbsent;
  size_t length = 0;                               // kComplete: the line's bytes, CR LF included
  std::optional<boost::asio::ip::address> client;  // kComplete: none for UNKNOWN
};
CProxyLine ParseProxyLine(std::string_view buffered);
