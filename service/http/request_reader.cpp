// Framing one connection's requests from the bytes it has buffered: the head, its limits, the
// body; and the request that the handler sees, with the client's address worked out once.
#include "http/request_reader.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <cstdint>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using ErrorCode = boost::system::error_code;

namespace {

// The values of every field `name` in the order received, joined by commas.
std::string JoinedFields(const CBeastRequest& request, std::string_view name) {
  std::string joined;
  const auto range = request.equal_range(name);
  for (auto field = range.first; field != range.second; ++field) {
    if (!joined.empty()) joined += ',';
    joined += field->value();
  }
  return joined;
}

// Whether a Transfer-Encoding value is "chunked" alone, which is the only coding served.
bool IsChunkedAlone(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return beast::iequals(value, "chunked");
}

// The target of a request head that the scanner found whole: its request line's second word.
std::string RequestTarget(std::string_view head) {
  const size_t start = head.find(' ');
  if (start == std::string_view::npos) return "";
  const size_t end = head.find_first_of(" \r\n", start + 1);
  return std::string(head.substr(start + 1, end == std::string_view::npos ? end : end - start - 1));
}

template <class Name>
std::optional<std::string> FieldValue(const CBeastRequest& request, Name field) {
  auto found = request.find(field);
  if (found == request.end()) return std::nullopt;
  return std::string(found->value());
}

}  // namespace

CRequestReader::CRequestReader(beast::flat_buffer& buffer, CHttpHandler& handler)
    : m_buffer(buffer), m_handler(handler) {}

std::string_view CRequestReader::Buffered() const {
  return {static_cast<const char*>(m_buffer.data().data()), m_buffer.size()};
}

CRequestReader::CStep CRequestReader::Next() {
  using EStatus = CStep::EStatus;
  auto refuse = [](CHttpResponse response) {
    CStep step;
    step.status = EStatus::kRefused;
    step.refusal = std::move(response);
    return step;
  };
  if (!m_parser) {
    switch (m_scanner.Scan(Buffered())) {
      case CHeadScanner::EStatus::kNeedMore:
        return {};
      case CHeadScanner::EStatus::kTooLarge:
        return refuse(TextResponse(431, "The request's header fields are too large.\n"));
      case CHeadScanner::EStatus::kTargetTooLong:
        return refuse(TextResponse(414, "The request target is longer than 8192 bytes.\n"));
      case CHeadScanner::EStatus::kBadLineEnd:
        return refuse(TextResponse(400, "A line of the request head ends in a bare CR.\n"));
      case CHeadScanner::EStatus::kComplete:
        break;
    }
    if (std::optional<CHttpResponse> refusal = StartParser()) return refuse(std::move(*refusal));
  }
  if (!m_parser->is_done()) {
    ErrorCode ec;
    const size_t used = m_parser->put(m_buffer.data(), ec);
    m_buffer.consume(used);
    if (ec == http::error::body_limit) return refuse(m_handler.BodyTooLarge(m_target));
    if (ec && ec != http::error::need_more) {
      return refuse(TextResponse(400, "The request body is malformed.\n"));
    }
    if (!m_parser->is_done()) return {};
  }
  CStep step;
  step.status = EStatus::kRequest;
  step.request = m_parser->release();
  m_parser.reset();
  m_target.clear();
  return step;
}

std::optional<CHttpResponse> CRequestReader::StartParser() {
  m_parser.emplace();
  m_parser->header_limit(static_cast<std::uint32_t>(kMaxHeadBytes + 64));
  // The parser checks Content-Length against the body limit as soon as it sees the head, so
  // the limit for this target comes from the request line, before the parser reads it.
  m_target = RequestTarget(m_scanner.Head());
  const size_t bodyLimit = m_handler.BodyLimit(m_target);
  m_parser->body_limit(bodyLimit);
  m_parser->eager(true);
  ErrorCode ec;
  const size_t used = m_parser->put(net::buffer(m_scanner.Head()), ec);
  const bool whole = used == m_scanner.Head().size();
  m_buffer.consume(m_scanner.Consumed());
  m_scanner.Reset();
  if (ec == http::error::body_limit) return m_handler.BodyTooLarge(m_target);
  if ((ec && ec != http::error::need_more) || !m_parser->is_header_done() || !whole) {
    return TextResponse(400, "The request head is malformed.\n");
  }
  if (m_parser->get().target().size() > kMaxTargetBytes) {
    return TextResponse(414, "The request target is longer than 8192 bytes.\n");
  }
  const auto& fields = m_parser->get();
  if (fields.count(http::field::transfer_encoding) > 1 ||
      (fields.count(http::field::transfer_encoding) == 1 &&
       !IsChunkedAlone(fields[http::field::transfer_encoding]))) {
    return TextResponse(400, "The only transfer coding served is chunked.\n");
  }
  if (m_parser->content_length() && *m_parser->content_length() > bodyLimit) {
    return m_handler.BodyTooLarge(m_target);
  }
  return std::nullopt;
}

bool CRequestReader::Abandon() {
  const bool head =
      m_parser && m_parser->is_header_done() && m_parser->get().method() == http::verb::head;
  m_parser.reset();
  m_scanner.Reset();
  return head;
}

CHttpRequest ToHttpRequest(CBeastRequest& message, const net::ip::address& peer,
                           const std::optional<net::ip::address>& tcpProxyClient,
                           const CTrustedProxies& proxies) {
  CHttpRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.host = FieldValue(message, http::field::host).value_or("");
  request.ifNoneMatch = FieldValue(message, http::field::if_none_match);
  request.ifModifiedSince = FieldValue(message, http::field::if_modified_since);
  request.cookie = FieldValue(message, http::field::cookie).value_or("");
  request.authorization = FieldValue(message, http::field::authorization).value_or("");
  request.origin = FieldValue(message, http::field::origin).value_or("");
  request.fetchSite = FieldValue(message, "Sec-Fetch-Site").value_or("");
  request.body = std::move(message.body());
  if (tcpProxyClient) {
    // The proxy passed the client's bytes on untouched: its forwarding fields are its own words.
    request.clientAddress = tcpProxyClient->to_string();
  } else {
    if (proxies.Contains(peer)) {
      request.forwardedProto = FieldValue(message, "X-Forwarded-Proto").value_or("");
    }
    request.clientAddress = ClientAddress(peer, proxies, JoinedFields(message, "X-Forwarded-For"),
                                          FieldValue(message, "X-Real-IP").value_or(""));
  }
  return request;
}
