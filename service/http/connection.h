// One client connection of the HTTP server: reading and framing its requests, handing each to
// the handler, writing the answers, its time limits.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <mutex>
#include <string>
#include <unordered_map>

#include "http/message.h"
#include "http/server.h"

// What the server's connections share.
struct CServerState {
  CHttpHandler& handler;
  const CServerOptions options;
  std::atomic<size_t> connections{0};
  std::mutex addressMutex;
  std::unordered_map<std::string, size_t> perAddress;  // open connections by client address

  // Counts a connection of `address`; false when that address has its share already (the
  // connection is counted anyway, and must be given back with Release like any other). An empty
  // `address` (a trusted proxy) is not counted.
  bool Admit(const std::string& address) {
    if (address.empty()) return true;
    std::lock_guard<std::mutex> lock(addressMutex);
    return ++perAddress[address] <= options.maxConnectionsPerAddress;
  }
  void Release(const std::string& address) {
    if (address.empty()) return;
    std::lock_guard<std::mutex> lock(addressMutex);
    auto found = perAddress.find(address);
    if (found != perAddress.end() && --found->second == 0) perAddress.erase(found);
  }
};

// The peer's address, IPv4 also when it came as an IPv4-mapped IPv6 address; unspecified when the
// socket has no peer any more.
boost::asio::ip::address PeerAddress(const boost::asio::ip::tcp::socket& socket);

// Serves `socket` on its own executor until it closes; with `admitted` false, answers 503 and
// closes. `counted` has been admitted to `server`'s counts, which the connection gives back at
// its end: the peer's address, or empty for a trusted proxy. `server` must outlive the
// connection.
void StartConnection(boost::asio::ip::tcp::socket&& socket, CServerState& server,
                     boost::asio::ip::address peer, std::string counted, bool admitted);
