// The answering side of a client connection: writing answers, keeping the connection alive or
// closing it (after a refusal, lingering so that the answer arrives), each request's time limit,
// and what the handler is told of every answer.
#include "http/connection_answers.h"

#include <array>
#include <boost/asio/write.hpp>
#include <ctime>

#include "base/metrics.h"
#include "http/cache.h"
#include "http/head.h"

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

// Room for a whole head, a whole body and some of a pipelined request behind them.
constexpr size_t kMaxBuffered = kMaxHeadBytes + kMaxBodyBytes + 8 * 1024;
// What a refused client may still send before the connection is closed regardless.
constexpr size_t kMaxLingerBytes = 64 * 1024;

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

// Registered at start, so that they show from the first scrape on.
CGauge& openConnections =
    Metrics().Gauge("velk_http_connections", "Client connections open now").Get();

}  // namespace

CConnectionAnswers::CConnectionAnswers(tcp::socket&& socket, CServerState& server,
                                       std::string counted)
    : m_stream(std::move(socket)),
      m_buffer(kMaxBuffered),
      m_server(server),
      m_address(std::move(counted)),
      m_deadline(m_stream.get_executor()) {
  if (m_server.options.requestMetrics) openConnections.Add(1);
}

CConnectionAnswers::~CConnectionAnswers() {
  if (m_server.options.requestMetrics) openConnections.Add(-1);
  m_server.Release(m_address);
  --m_server.connections;
}

void CConnectionAnswers::StartRequestClock() {
  m_requestStarted = true;
  m_exchange.start = std::chrono::steady_clock::now();
  m_exchange.method.clear();
  m_exchange.target.clear();
  m_exchange.client = m_address;
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

void CConnectionAnswers::StopRequestClock() {
  m_requestStarted = false;
  m_deadline.cancel();
}

void CConnectionAnswers::Send(CHttpResponse response) {
  const bool close = !m_keepAlive || response.close;
  m_response = std::move(response);
  m_head = SerializeHead(m_response, CurrentDate(), close);
  m_exchange.status = m_response.status;
  // A HEAD answer has the fields of the full answer and never a body, whatever the handler gave.
  const bool withBody = m_response.body && !m_response.omitBody && !m_headRequest;
  m_exchange.bodyBytes = withBody ? m_response.body->size() : 0;
  std::array<net::const_buffer, 2> buffers = {net::buffer(m_head), net::const_buffer()};
  if (withBody) buffers[1] = net::buffer(*m_response.body);
  m_stream.expires_after(std::chrono::seconds(m_server.options.writeTimeoutSeconds));
  net::async_write(m_stream, buffers, [self = shared_from_this(), close](ErrorCode ec, size_t) {
    self->OnWritten(ec, close);
  });
}

void CConnectionAnswers::OnWritten(ErrorCode ec, bool close) {
  Record();
  m_response = CHttpResponse();
  m_head.clear();
  if (!ec && close && m_refused) return LingerThenClose();
  if (ec || close) return Close();
  m_stream.expires_after(std::chrono::seconds(m_server.options.idleTimeoutSeconds));
  Continue();
}

void CConnectionAnswers::Record() {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_exchange.start).count();
  m_server.handler.Answered({m_exchange.client, m_exchange.method, m_exchange.target,
                             m_exchange.status, m_exchange.bodyBytes, seconds});
}

void CConnectionAnswers::Close() {
  StopRequestClock();
  ErrorCode ignored;
  m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  m_stream.close();
}

void CConnectionAnswers::LingerThenClose() {
  ErrorCode ignored;
  m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  m_stream.expires_after(std::chrono::seconds(2));
  Discard();
}

void CConnectionAnswers::Discard() {
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
