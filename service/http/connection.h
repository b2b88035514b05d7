// One client connection of the HTTP server: reading its requests, the PROXY line of a trusted
// proxy, and handing each request to the handler; the answers are connection_answers'.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string>

#include "http/connection_answers.h"

// The peer's address, IPv4 also when it came as an IPv4-mapped IPv6 address; unspecified when the
// socket has no peer any more.
boost::asio::ip::address PeerAddress(const boost::asio::ip::tcp::socket& socket);

// Serves `socket` on its own executor until it closes; with `admitted` false, answers 503 and
// closes. `counted` has been admitted to `server`'s counts, which the connection gives back at
// its end: the peer's address, or empty for a trusted proxy. `server` must outlive the
// connection.
void StartConnection(boost::asio::ip::tcp::socket&& socket, CServerState& server,
                     boost::asio::ip::address peer, std::string counted, bool admitted);
