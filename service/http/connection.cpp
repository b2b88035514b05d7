// One client connection of the HTTP server: reading its requests, the PROXY line of a trusted
// proxy, and handing each request to the handler; the answers are connection_answers'.
#include "http/connection.h"

#include <boost/asio/post.hpp>
#include <optional>
#include <thread>

#include "base/log.h"
#include "http/request_reader.h"

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

net::ip::address PeerAddress(const tcp::socket& socket) {
  ErrorCode ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return {};
  return Unmapped(peer.address());
}

namespace {

// One client connection: reads requests, hands each to the handler, and sends its answer,
// except the reply callback, which posts back to the connection's loop.
class CSession : public CConnectionAnswers {
 public:
  CSession(tcp::socket&& socket, CServerState& server, net::ip::address peer, std::string counted)
      : CConnectionAnswers(std::move(socket), server, std::move(counted)),
        m_reader(m_buffer, server.handler),
        m_peer(peer),
        m_awaitingProxyLine(server.options.trustedProxies.Contains(peer)) {}

  net::any_io_executor GetExecutor() { return m_stream.get_executor(); }

  // Serves the connection; with `admitted` false, answers 503 and closes.
  void Start(bool admitted) {
    m_exchange.start = std::chrono::steady_clock::now();
    m_exchange.client = m_address;
    if (!admitted) {
      return Fail(503, "Too many connections from your address; close some and try again.\n");
    }
    m_stream.expires_after(std::chrono::seconds(m_server.options.idleTimeoutSeconds));
    ReadMore();
  }

 private:
  void Continue() override {
    if (m_buffer.size() == 0) return ReadMore();
    // The next request arrived with this one (pipelining).
    StartRequestClock();
    Process();
  }

  void ReadMore() {
    if (m_buffer.size() + kReadChunk > m_buffer.max_size()) {
      return Fail(431, "The request is too large.\n");
    }
    m_stream.async_read_some(
        m_buffer.prepare(kReadChunk),
        [self = shared_from_this(), this](ErrorCode ec, size_t bytes) { OnRead(ec, bytes); });
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

  // Makes what progress the buffered bytes allow: a head, then a body, then the answer.
  void Process() {
    if (m_awaitingProxyLine && !TakeProxyLine()) return;
    CRequestReader::CStep step = m_reader.Next();
    switch (step.status) {
      case CRequestReader::CStep::EStatus::kNeedMore:
        return ReadMore();
      case CRequestReader::CStep::EStatus::kRefused:
        return Fail(std::move(step.refusal));
      case CRequestReader::CStep::EStatus::kRequest:
        return Dispatch(step.request);
    }
  }

  // A trusted TCP proxy may open the connection with a PROXY line naming the client; false when
  // processing must wait for more bytes or the connection was refused.
  bool TakeProxyLine() {
    const CProxyLine line = ParseProxyLine(m_reader.Buffered());
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

  void Dispatch(CBeastRequest& message) {
    StopRequestClock();
    m_keepAlive = message.keep_alive();
    m_headRequest = message.method() == boost::beast::http::verb::head;
    const CHttpRequest request =
        ToHttpRequest(message, m_peer, m_tcpProxyClient, m_server.options.trustedProxies);
    m_exchange.method = request.method;
    m_exchange.target = request.target;
    m_exchange.client = request.clientAddress;

    // A reply given during Handle is sent straight away; one given later, from another thread,
    // comes back to this session's loop.
    m_handling = true;
    const std::thread::id thread = std::this_thread::get_id();
    auto self = shared_from_this();
    try {
      m_server.handler.Handle(request, [self, this, thread](CHttpResponse response) {
        if (std::this_thread::get_id() == thread && m_handling) {
          m_immediate = std::move(response);
          return;
        }
        net::post(m_stream.get_executor(), [self, this, response = std::move(response)]() mutable {
          Send(std::move(response));
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

  // Answers a request that breaks a limit or the protocol, then closes: what follows it in the
  // connection cannot be trusted to start a request.
  void Fail(int status, const char* text) { Fail(TextResponse(status, text)); }

  // Refuses the request with `response` and closes the connection after it.
  void Fail(CHttpResponse response) {
    StopRequestClock();
    if (!m_reader.Target().empty()) m_exchange.target = m_reader.Target();
    m_headRequest = m_reader.Abandon();
    m_keepAlive = false;
    m_refused = true;
    response.close = true;
    Send(std::move(response));
  }

  CRequestReader m_reader;
  const net::ip::address m_peer;
  bool m_awaitingProxyLine;  // a trusted peer's connection, before its first request
  std::optional<net::ip::address> m_tcpProxyClient;  // the client a PROXY line named
  bool m_handling = false;
  std::optional<CHttpResponse> m_immediate;
};

}  // namespace

void StartConnection(tcp::socket&& socket, CServerState& server, net::ip::address peer,
                     std::string counted, bool admitted) {
  auto session = std::make_shared<CSession>(std::move(socket), server, peer, std::move(counted));
  net::post(session->GetExecutor(), [session, admitted] { session->Start(admitted); });
}
