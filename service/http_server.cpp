// The network side of the service: an asynchronous HTTP/1.1 server on Boost.Beast.
#include "http_server.h"

#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "http_cache.h"
#include "http_head.h"
#include "http_message.h"
#include "service.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// Room for a whole head, a whole body and some of a pipelined request behind them.
constexpr size_t kMaxBuffered = kMaxHeadBytes + kMaxBodyBytes + 8 * 1024;
constexpr size_t kReadChunk = 4096;
// What a refused client may still send before the connection is closed regardless.
constexpr size_t kMaxLingerBytes = 64 * 1024;

struct CServerState {
  CSignatureService& service;
  const CServerOptions options;
  std::atomic<size_t> connections{0};
};

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

std::optional<std::string> FieldValue(const http::request<http::string_body>& request,
                                      http::field field) {
  auto found = request.find(field);
  if (found == request.end()) return std::nullopt;
  return std::string(found->value());
}

// One client connection. Lives as long as an operation or a pending reply holds it; runs only on
// the thread of its own event loop, except the reply callback, which posts back to that loop.
class CSession : public std::enable_shared_from_this<CSession> {
 public:
  CSession(tcp::socket&& socket, CServerState& server)
      : stream_(std::move(socket)), buffer_(kMaxBuffered), server_(server) {}
  ~CSession() { --server_.connections; }

  net::any_io_executor GetExecutor() { return stream_.get_executor(); }

  void Start() {
    stream_.expires_after(std::chrono::seconds(server_.options.idleTimeoutSeconds));
    ReadMore();
  }

 private:
  void ReadMore() {
    if (buffer_.size() + kReadChunk > buffer_.max_size()) {
      return Fail(431, "The request is too large.\n");
    }
    stream_.async_read_some(
        buffer_.prepare(kReadChunk),
        [self = shared_from_this()](error_code ec, size_t bytes) { self->OnRead(ec, bytes); });
  }

  void OnRead(error_code ec, size_t bytes) {
    if (ec) return Close();
    buffer_.commit(bytes);
    if (!requestStarted_) {
      // The whole request must arrive in time, however slowly its bytes trickle in.
      requestStarted_ = true;
      stream_.expires_after(std::chrono::seconds(server_.options.requestTimeoutSeconds));
    }
    Process();
  }

  std::string_view Buffered() const {
    return {static_cast<const char*>(buffer_.data().data()), buffer_.size()};
  }

  // Makes what progress the buffered bytes allow: a head, then a body, then the answer.
  void Process() {
    if (!parser_) {
      switch (scanner_.Scan(Buffered())) {
        case CHeadScanner::EStatus::kNeedMore:
          return ReadMore();
        case CHeadScanner::EStatus::kTooLarge:
          return Fail(431, "The request's header fields are too large.\n");
        case CHeadScanner::EStatus::kTargetTooLong:
          return Fail(414, "The request target is longer than 8192 bytes.\n");
        case CHeadScanner::EStatus::kComplete:
          break;
      }
      if (!StartParser()) return;
    }
    if (!parser_->is_done()) {
      error_code ec;
      const size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      if (ec == http::error::body_limit) return Fail(413, "The body is longer than 4096 bytes.\n");
      if (ec && ec != http::error::need_more) return Fail(400, "The request body is malformed.\n");
      if (!parser_->is_done()) return ReadMore();
    }
    Dispatch();
  }

  // Feeds the scanned head to a fresh parser and checks the limits it reveals; false when the
  // request was refused.
  bool StartParser() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(kMaxHeadBytes + 64));
    parser_->body_limit(kMaxBodyBytes);
    parser_->eager(true);
    error_code ec;
    const size_t used = parser_->put(net::buffer(scanner_.Head()), ec);
    const bool whole = used == scanner_.Head().size();
    buffer_.consume(scanner_.Consumed());
    scanner_.Reset();
    if (ec == http::error::body_limit) {
      // The parser checks Content-Length against the body limit as soon as it sees the head.
      Fail(413, "The body is longer than 4096 bytes.\n");
      return false;
    }
    if ((ec && ec != http::error::need_more) || !parser_->is_header_done() || !whole) {
      Fail(400, "The request head is malformed.\n");
      return false;
    }
    if (parser_->get().target().size() > kMaxTargetBytes) {
      Fail(414, "The request target is longer than 8192 bytes.\n");
      return false;
    }
    if (parser_->content_length() && *parser_->content_length() > kMaxBodyBytes) {
      Fail(413, "The body is longer than 4096 bytes.\n");
      return false;
    }
    return true;
  }

  void Dispatch() {
    http::request<http::string_body> message = parser_->release();
    parser_.reset();
    keepAlive_ = message.keep_alive();
    CHttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.host = FieldValue(message, http::field::host).value_or("");
    request.ifNoneMatch = FieldValue(message, http::field::if_none_match);
    request.ifModifiedSince = FieldValue(message, http::field::if_modified_since);
    request.body = std::move(message.body());

    // A reply given during Handle is sent straight away; one given later, from another thread,
    // comes back to this session's loop.
    handling_ = true;
    const std::thread::id thread = std::this_thread::get_id();
    auto self = shared_from_this();
    try {
      server_.service.Handle(request, [self, thread](CHttpResponse response) {
        if (std::this_thread::get_id() == thread && self->handling_) {
          self->immediate_ = std::move(response);
          return;
        }
        net::post(self->stream_.get_executor(), [self, response = std::move(response)]() mutable {
          self->Send(std::move(response));
        });
      });
    } catch (const std::exception& error) {
      std::fprintf(stderr, "velk-service: request failed: %s\n", error.what());
      if (!immediate_) immediate_ = TextResponse(500, "The service failed on this request.\n");
    }
    handling_ = false;
    if (immediate_) {
      CHttpResponse response = std::move(*immediate_);
      immediate_.reset();
      Send(std::move(response));
    }
  }

  void Send(CHttpResponse response) {
    const bool close = !keepAlive_ || response.close;
    response_ = std::move(response);
    head_ = SerializeHead(response_, CurrentDate(), close);
    std::array<net::const_buffer, 2> buffers = {net::buffer(head_), net::const_buffer()};
    if (response_.body && !response_.omitBody) buffers[1] = net::buffer(*response_.body);
    stream_.expires_after(std::chrono::seconds(server_.options.writeTimeoutSeconds));
    net::async_write(stream_, buffers, [self = shared_from_this(), close](error_code ec, size_t) {
      self->OnWritten(ec, close);
    });
  }

  void OnWritten(error_code ec, bool close) {
    response_ = CHttpResponse();
    head_.clear();
    if (!ec && close && refused_) return LingerThenClose();
    if (ec || close) return Close();
    requestStarted_ = false;
    stream_.expires_after(std::chrono::seconds(server_.options.idleTimeoutSeconds));
    if (buffer_.size() > 0) {
      // The next request arrived with this one (pipelining).
      requestStarted_ = true;
      stream_.expires_after(std::chrono::seconds(server_.options.requestTimeoutSeconds));
      return Process();
    }
    ReadMore();
  }

  // Answers a request that breaks a limit or the protocol, then closes: what follows it in the
  // connection cannot be trusted to start a request.
  void Fail(int status, const char* text) {
    parser_.reset();
    scanner_.Reset();
    keepAlive_ = false;
    refused_ = true;
    CHttpResponse response = TextResponse(status, text);
    response.close = true;
    Send(std::move(response));
  }

  void Close() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  // Closes after an answer to a refused request. The client may still be sending what was
  // refused; closing with unread bytes would reset the connection and could destroy the answer
  // before the client reads it. So: stop sending, then read and discard for a short while.
  void LingerThenClose() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(std::chrono::seconds(2));
    Discard();
  }

  void Discard() {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(kReadChunk),
                            [self = shared_from_this()](error_code ec, size_t bytes) {
                              self->discarded_ += bytes;
                              if (ec || self->discarded_ > kMaxLingerBytes) {
                                self->stream_.close();
                                return;
                              }
                              self->Discard();
                            });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  CServerState& server_;
  CHeadScanner scanner_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool requestStarted_ = false;
  bool keepAlive_ = true;
  bool handling_ = false;
  bool refused_ = false;  // the connection ends after an answer to a refused request
  size_t discarded_ = 0;
  std::optional<CHttpResponse> immediate_;
  CHttpResponse response_;  // the answer being written, kept alive for the write
  std::string head_;
};

}  // namespace

struct CHttpServer::CImpl {
  CImpl(CSignatureService& service, CServerOptions options) : state{service, std::move(options)} {
    const size_t count = state.options.threads == 0 ? 1 : state.options.threads;
    for (size_t i = 0; i < count; ++i) {
      loops.push_back(std::make_unique<net::io_context>(1));
      guards.emplace_back(loops.back()->get_executor());
    }
    acceptor.emplace(*loops[0]);
    retry.emplace(*loops[0]);
    signals.emplace(*loops[0], SIGINT, SIGTERM);
  }

  void Accept() {
    net::io_context& loop = *loops[next++ % loops.size()];
    acceptor->async_accept(
        loop, [this](error_code ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
  }

  void OnAccept(error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or a similar pinch: wait a little instead of spinning.
      std::fprintf(stderr, "velk-service: accept failed: %s\n", ec.message().c_str());
      retry->expires_after(std::chrono::milliseconds(100));
      retry->async_wait([this](error_code waitError) {
        if (!waitError) Accept();
      });
      return;
    }
    if (++state.connections > state.options.maxConnections) {
      --state.connections;
      error_code ignored;
      socket.close(ignored);
    } else {
      socket.set_option(tcp::no_delay(true), ec);
      auto session = std::make_shared<CSession>(std::move(socket), state);
      net::post(session->GetExecutor(), [session] { session->Start(); });
    }
    Accept();
  }

  // Ends every loop; connections and pending operations are dropped when the loops are destroyed.
  void Stop() {
    for (auto& guard : guards) guard.reset();
    for (auto& loop : loops) loop->stop();
  }

  CServerState state;
  std::vector<std::unique_ptr<net::io_context>> loops;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> guards;
  std::optional<tcp::acceptor> acceptor;
  std::optional<net::steady_timer> retry;
  std::optional<net::signal_set> signals;
  size_t next = 0;
};

CHttpServer::CHttpServer(CSignatureService& service, CServerOptions options)
    : impl_(std::make_unique<CImpl>(service, std::move(options))) {}

CHttpServer::~CHttpServer() = default;

unsigned short CHttpServer::Listen() {
  const CServerOptions& options = impl_->state.options;
  const std::string where = options.address + " port " + std::to_string(options.port);
  error_code ec;
  const net::ip::address address = net::ip::make_address(options.address, ec);
  if (ec) throw std::runtime_error("not an IP address: " + options.address);
  const tcp::endpoint endpoint(address, options.port);
  tcp::acceptor& acceptor = *impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
  return acceptor.local_endpoint().port();
}

void CHttpServer::Run() {
  CImpl& impl = *impl_;
  impl.signals->async_wait([this](error_code ec, int) {
    if (!ec) Stop();
  });
  impl.Accept();
  std::vector<std::thread> threads;
  for (size_t i = 1; i < impl.loops.size(); ++i) {
    threads.emplace_back([&impl, i] { impl.loops[i]->run(); });
  }
  impl.loops[0]->run();
  for (std::thread& thread : threads) thread.join();
}

void CHttpServer::Stop() { impl_->Stop(); }
