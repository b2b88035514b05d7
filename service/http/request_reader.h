// Framing one connection's requests from the bytes it has buffered: the head, its limits, the
// body; and the request that the handler sees, with the client's address worked out once.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "http/client_address.h"
#include "http/head.h"
#include "http/message.h"

using CBeastRequest = boost::beast::http::request<boost::beast::http::string_body>;

// Reads requests out of `buffer`, which the connection fills; owns neither the buffer nor any
// socket. Runs on the connection's thread only.
class CRequestReader {
 public:
  // `buffer` and `handler` (asked for each target's body limit) must outlive the reader.
  CRequestReader(boost::beast::flat_buffer& buffer, CHttpHandler& handler);

  struct CStep {
    enum class EStatus { kNeedMore, kRefused, kRequest };
    EStatus status = EStatus::kNeedMore;
    CHttpResponse refusal;  // kRefused: the answer; the connection closes after it
    CBeastRequest request;  // kRequest: the whole request, taken out of the buffer
  };
  // Makes what progress the buffered bytes allow: a head, then a body. After kRefused, the
  // connection calls Abandon.
  CStep Next();
  // Drops the request being read; returns whether its head, when read, asked for HEAD.
  bool Abandon();
  // The target of the request being read once its head is whole, else empty.
  const std::string& Target() const { return m_target; }
  std::string_view Buffered() const;

 private:
  // Feeds the scanned head to a fresh parser and checks the limits it reveals; the refusal when
  // the request breaks one.
  std::optional<CHttpResponse> StartParser();

  boost::beast::flat_buffer& m_buffer;
  CHttpHandler& m_handler;
  CHeadScanner m_scanner;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_parser;
  std::string m_target;
};

// The request the handler sees of `message`, from `peer`; `tcpProxyClient` is the client that a
// trusted TCP proxy's PROXY line named, when one did.
CHttpRequest ToHttpRequest(CBeastRequest& message, const boost::asio::ip::address& peer,
                           const std::optional<boost::asio::ip::address>& tcpProxyClient,
                           const CTrustedProxies& proxies);
