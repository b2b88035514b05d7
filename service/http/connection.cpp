// One client connection of the HTTP server: framing, time limits, answers.
#include "http/connection.h"

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/metrics.h"
#include "http/cache.h"
#include "http/head.h"
#include "http/message.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

net::ip::address PeerAddress(const tcp::socket& socket) {
  ErrorCode ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return {};
  return Unmapped(peer.address());
}

namespace {

// Room for a whole head, a whole body and some of a pipelined request behind them.
constexpr size_t kMaxBuffered = kMaxHeadBytes + kMaxBodyBytes + 8 * 1024;
constexpr size_t kReadChunk = 4096;
// What a refused client may still send before the connection is closed regardless.
constexpr size_t kMaxLingerBytes = 64 * 1024;

// The values of every field `name` in the order received, joined by commas.
std::string JoinedFields(const http::request<http::string_body>& request, std::string_view name) {
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

// The Date field for now, formatted once a second per network thread.
const std::string& CurrentDate() {
  thread_local time_t second = -1;
  thread_local std::string text;
  const time_t now = std::time(nullptr);
  if (now != second) {
    second = now;
    text = FormatHttpDate(now);
  }
  return text;
}

template <class Name>
std::optional<std::string> FieldValue(const http::request<http::string_body>& request, Name field) {
  auto found = request.find(field);
  if (found == request.end()) return std::nullopt;
  return std::string(found->value());
}

// Registered at start, so that they show from the first scrape on.
CGauge& openConnections =
    Metrics().Gauge("velk_http_connections", "Client connections open now").Get();

// One client connection. Lives as long as an operation or a pending reply holds it; runs only on
// the thread of its own event loop, except the reply callback, which posts back to that loop.
class CSession : public std::enable_shared_from_this<CSession> {
 public:
  // `counted` has been admitted to the server's counts, which the session gives back at its
  // end; it is the peer's address, or empty for a trusted proxy.
  CSession(tcp::socket&& socket, CServerState& server, net::ip::address peer, std::string counted)
      : m_stream(std::move(socket)),
        m_deadline(m_stream.get_executor()),
        m_buffer(kMaxBuffered),
        m_server(server),
        m_peer(peer),
        m_address(std::move(counted)),
        m_awaitingProxyLine(server.options.trustedProxies.Contains(peer)) {
    if (m_server.options.requestMetrics) openConnections.Add(1);
  }
  ~CSession() {
    if (m_server.options.requestMetrics) openConnections.Add(-1);
    m_server.Release(m_address);
    --m_server.connections;
  }

  net::any_io_executor GetExecutor() { return m_stream.get_executor(); }

  // Serves the connection; with `admitted` false, answers 503 and closes.
  void Start(bool admitted) {
    m_requestStart = std::chrono::steady_clock::now();
    m_client = m_address;
    if (!admitted) {
      return Fail(503, "Too many connections from your address; close some and try again.\n");
    }
    m_stream.expires_after(std::chrono::seconds(m_server.options.idleTimeoutSeconds));
    ReadMore();
  }

 private:
  void ReadMore() {
    if (m_buffer.size() + kReadChunk > m_buffer.max_size()) {
      return Fail(431, "The request is too large.\n");
    }
    m_stream.async_read_some(
        m_buffer.prepare(kReadChunk),
        [self = shared_from_this()](ErrorCode ec, size_t bytes) { self->OnRead(ec, bytes); });
  }

  void OnRead(ErrorCode ec, size_t bytes) {
    if (m_timedOut) {
      return Fail(408, "The request did not arrive in time.\n");
    }
    if (ec) return Close();
    m_buffer.commit(bytes);
    if (!m_requestStarted) StartRequestClock();
    Process();
  }

  // The whole request must arrive in time, however slowly its bytes trickle in; when it does
  // not, the pending read is cancelled and the answer is 408.
  void StartRequestClock() {
    m_requestStarted = true;
    m_requestStart = std::chrono::steady_clock::now();
    m_method.clear();
    m_target.clear();
    m_client = m_address;
    m_stream.expires_never();
    m_deadline.expires_after(std::chrono::seconds(m_server.options.requestTimeoutSeconds));
    const uint64_t clock = ++m_requestClock;
    m_deadline.async_wait([self = shared_from_this(), clock](ErrorCode ec) {
      // A wait cancelled too late to be aborted still completes: it must be this request's.
      if (ec || !self->m_requestStarted || self->m_requestClock != clock) return;
      self->m_timedOut = true;
      ErrorCode ignored;
      self->m_stream.socket().cancel(ignored);
    });
  }

  void StopRequestClock() {
    m_requestStarted = false;
    m_deadline.cancel();
  }

  std::string_view Buffered() const {
    return {static_cast<const char*>(m_buffer.data().data()), m_buffer.size()};
  }

  // Makes what progress the buffered bytes allow: a head, then a body, then the answer.
  void Process() {
    if (m_awaitingProxyLine && !TakeProxyLine()) return;
    if (!m_parser) {
      switch (m_scanner.Scan(Buffered())) {
        case CHeadScanner::EStatus::kNeedMore:
          return ReadMore();
        case CHeadScanner::EStatus::kTooLarge:
          return Fail(431, "The request's header fields are too large.\n");
        case CHeadScanner::EStatus::kTargetTooLong:
          return Fail(414, "The request target is longer than 8192 bytes.\n");
        case CHeadScanner::EStatus::kBadLineEnd:
          return Fail(400, "A line of the request head ends in a bare CR.\n");
        case CHeadScanner::EStatus::kComplete:
          break;
      }
      if (!StartParser()) return;
    }
    if (!m_parser->is_done()) {
      ErrorCode ec;
      const size_t used = m_parser->put(m_buffer.data(), ec);
      m_buffer.consume(used);
      if (ec == http::error::body_limit) return Fail(m_server.handler.BodyTooLarge(m_target));
      if (ec && ec != http::error::need_more) return Fail(400, "The request body is malformed.\n");
      if (!m_parser->is_done()) return ReadMore();
    }
    Dispatch();
  }

  // A trusted TCP proxy may open the connection with a PROXY line naming the client; false when
  // processing must wait for more bytes or the connection was refused.
  bool TakeProxyLine() {
    const CProxyLine line = ParseProxyLine(Buffered());
    switch (line.status) {
      case CProxyLine::EStatus::kNeedMore:
        ReadMore();
        return false;
      case CProxyLine::EStatus::kBad:
        Fail(400, "The PROXY line is malformed.\n");
        return false;
      case CProxyLine::EStatus::kComplete:
        m_buffer.consume(line.length);
        m_tcpProxyClient = line.client.value_or(m_peer);
        if (line.client) {
          // The connection is the client's own: it counts towards that address's share.
          m_address = line.client->to_string();
          if (!m_server.Admit(m_address)) {
            Fail(503, "Too many connections from your address; close some and try again.\n");
            return false;
          }
        }
        break;
      case CProxyLine::EStatus::kAbsent:
        break;
    }
    m_awaitingProxyLine = false;
    if (m_buffer.size() > 0) return true;
    // The client itself has sent nothing yet: it is idle, not slow.
    StopRequestClock();
    m_stream.expires_after(std::chrono::seconds(m_server.options.idleTimeoutSeconds));
    ReadMore();
    return false;
  }

  // Feeds the scanned head to a fresh parser and checks the limits it reveals; false when the
  // request was refused.
  bool StartParser() {
    m_parser.emplace();
    m_parser->header_limit(static_cast<std::uint32_t>(kMaxHeadBytes + 64));
    // The parser checks Content-Length against the body limit as soon as it sees the head, so
    // the limit for this target comes from the request line, before the parser reads it.
    m_target = RequestTarget(m_scanner.Head());
    const size_t bodyLimit = m_server.handler.BodyLimit(m_target);
    m_parser->body_limit(bodyLimit);
    m_parser->eager(true);
    ErrorCode ec;
    const size_t used = m_parser->put(net::buffer(m_scanner.Head()), ec);
    const bool whole = used == m_scanner.Head().size();
    m_buffer.consume(m_scanner.Consumed());
    m_scanner.Reset();
    if (ec == http::error::body_limit) {
      Fail(m_server.handler.BodyTooLarge(m_target));
      return false;
    }
    if ((ec && ec != http::error::need_more) || !m_parser->is_header_done() || !whole) {
      Fail(400, "The request head is malformed.\n");
      return false;
    }
    if (m_parser->get().target().size() > kMaxTargetBytes) {
      Fail(414, "The request target is longer than 8192 bytes.\n");
      return false;
    }
    const auto& fields = m_parser->get();
    if (fields.count(http::field::transfer_encoding) > 1 ||
        (fields.count(http::field::transfer_encoding) == 1 &&
         !IsChunkedAlone(fields[http::field::transfer_encoding]))) {
      Fail(400, "The only transfer coding served is chunked.\n");
      return false;
    }
    if (m_parser->content_length() && *m_parser->content_length() > bodyLimit) {
      Fail(m_server.handler.BodyTooLarge(m_target));
      return false;
    }
    return true;
  }

  void Dispatch() {
    StopRequestClock();
    http::request<http::string_body> message = m_parser->release();
    m_parser.reset();
    m_keepAlive = message.keep_alive();
    m_headRequest = message.method() == http::verb::head;
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
    const CTrustedProxies& proxies = m_server.options.trustedProxies;
    if (m_tcpProxyClient) {
      // The proxy passed the client's bytes on untouched: its forwarding fields are its own words.
      request.clientAddress = m_tcpProxyClient->to_string();
    } else {
      if (proxies.Contains(m_peer)) {
        request.forwardedProto = FieldValue(message, "X-Forwarded-Proto").value_or("");
      }
      request.clientAddress =
          ClientAddress(m_peer, proxies, JoinedFields(message, "X-Forwarded-For"),
                        FieldValue(message, "X-Real-IP").value_or(""));
    }
    m_method = request.method;
    m_target = request.target;
    m_client = request.clientAddress;

    // A reply given during Handle is sent straight away; one given later, from another thread,
    // comes back to this session's loop.
    m_handling = true;
    const std::thread::id thread = std::this_thread::get_id();
    auto self = shared_from_this();
    try {
      m_server.handler.Handle(request, [self, thread](CHttpResponse response) {
        if (std::this_thread::get_id() == thread && self->m_handling) {
          self->m_immediate = std::move(response);
          return;
        }
        net::post(self->m_stream.get_executor(), [self, response = std::move(response)]() mutable {
          self->Send(std::move(response));
        });
      });
    } catch (const std::exception& error) {
      LogRepeated("request failed", error.what());
      if (!m_immediate) m_immediate = TextResponse(500, "The service failed on this request.\n");
    }
    m_handling = false;
    if (m_immediate) {
      CHttpResponse response = std::move(*m_immediate);
      m_immediate.reset();
      Send(std::move(response));
    }
  }

  void Send(CHttpResponse response) {
    const bool close = !m_keepAlive || response.close;
    m_response = std::move(response);
    m_head = SerializeHead(m_response, CurrentDate(), close);
    m_status = m_response.status;
    m_bodyBytes =
        m_response.body && !m_response.omitBody && !m_headRequest ? m_response.body->size() : 0;
    std::array<net::const_buffer, 2> buffers = {net::buffer(m_head), net::const_buffer()};
    // A HEAD answer has the fields of the full answer and never a body, whatever the handler gave.
    if (m_response.body && !m_response.omitBody && !m_headRequest)
      buffers[1] = net::buffer(*m_response.body);
    m_stream.expires_after(std::chrono::seconds(m_server.options.writeTimeoutSeconds));
    net::async_write(m_stream, buffers, [self = shared_from_this(), close](ErrorCode ec, size_t) {
      self->OnWritten(ec, close);
    });
  }

  void OnWritten(ErrorCode ec, bool close) {
    Record();
    m_response = CHttpResponse();
    m_head.clear();
    if (!ec && close && m_refused) return LingerThenClose();
    if (ec || close) return Close();
    m_stream.expires_after(std::chrono::seconds(m_server.options.idleTimeoutSeconds));
    if (m_buffer.size() > 0) {
      // The next request arrived with this one (pipelining).
      StartRequestClock();
      return Process();
    }
    ReadMore();
  }

  // Tells the handler of the answer just written: from the request's first byte to its last byte
  // sent. The access line and the request metrics are the pipeline's.
  void Record() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_requestStart).count();
    m_server.handler.Answered({m_client, m_method, m_target, m_status, m_bodyBytes, seconds});
  }

  // Answers a request that breaks a limit or the protocol, then closes: what follows it in the
  // connection cannot be trusted to start a request.
  void Fail(int status, const char* text) { Fail(TextResponse(status, text)); }

  // Refuses the request with `response` and closes the connection after it.
  void Fail(CHttpResponse response) {
    StopRequestClock();
    m_headRequest =
        m_parser && m_parser->is_header_done() && m_parser->get().method() == http::verb::head;
    m_parser.reset();
    m_scanner.Reset();
    m_keepAlive = false;
    m_refused = true;
    response.close = true;
    Send(std::move(response));
  }

  void Close() {
    StopRequestClock();
    ErrorCode ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    m_stream.close();
  }

  // Closes after an answer to a refused request. The client may still be sending what was
  // refused; closing with unread bytes would reset the connection and could destroy the answer
  // before the client reads it. So: stop sending, then read and discard for a short while.
  void LingerThenClose() {
    ErrorCode ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    m_stream.expires_after(std::chrono::seconds(2));
    Discard();
  }

  void Discard() {
    m_buffer.clear();
    m_stream.async_read_some(m_buffer.prepare(kReadChunk),
                             [self = shared_from_this()](ErrorCode ec, size_t bytes) {
                               self->m_discarded += bytes;
                               if (ec || self->m_discarded > kMaxLingerBytes) {
                                 self->m_stream.close();
                                 return;
                               }
                               self->Discard();
                             });
  }

  beast::tcp_stream m_stream;
  net::steady_timer m_deadline;  // the request's own time limit, which ends in a 408
  beast::flat_buffer m_buffer;
  CServerState& m_server;
  const net::ip::address m_peer;
  std::string m_address;     // the key of the per-address count, empty when not counted
  bool m_awaitingProxyLine;  // a trusted peer's connection, before its first request
  std::optional<net::ip::address> m_tcpProxyClient;  // the client a PROXY line named
  CHeadScanner m_scanner;
  std::optional<http::request_parser<http::string_body>> m_parser;
  bool m_requestStarted = false;
  bool m_timedOut = false;
  uint64_t m_requestClock = 0;  // counts the requests whose time limit was started
  bool m_keepAlive = true;
  bool m_headRequest = false;  // the answer being made is one to HEAD
  bool m_handling = false;
  bool m_refused = false;  // the connection ends after an answer to a refused request
  std::string m_target;    // the target of the request being read, once its head is whole
  size_t m_discarded = 0;
  std::optional<CHttpResponse> m_immediate;
  CHttpResponse m_response;  // the answer being written, kept alive for the write
  std::string m_head;
  // What the access log and the metrics tell of the request being answered; the method is empty
  // for a request refused before its head was read.
  std::chrono::steady_clock::time_point m_requestStart;
  std::string m_method;
  std::string m_client;  // the request's client address, the peer's until a request says
  int m_status = 0;
  size_t m_bodyBytes = 0;
};

}  // namespace

void StartConnection(tcp::socket&& socket, CServerState& server, net::ip::address peer,
                     std::string counted, bool admitted) {
  auto session = std::make_shared<CSession>(std::move(socket), server, peer, std::move(counted));
  net::post(session->GetExecutor(), [session, admitted] { session->Start(admitted); });
}
