// The network side of the service: an asynchronous HTTP/1.1 server on Boost.Beast.
#include "http/server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/log.h"
#include "http/connection.h"

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

struct CHttpServer::CImpl {
  CImpl(CHttpHandler& handler, CServerOptions options)
      : state{handler, std::move(options), {}, {}, {}} {
    const size_t count = state.options.threads == 0 ? 1 : state.options.threads;
    for (size_t i = 0; i < count; ++i) {
      loops.push_back(std::make_unique<net::io_context>(1));
      guards.emplace_back(loops.back()->get_executor());
    }
    acceptor.emplace(*loops[0]);
    retry.emplace(*loops[0]);
    signals.emplace(*loops[0], SIGINT, SIGTERM);
    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  ~CImpl() {
    if (spare >= 0) ::close(spare);
  }

  void Accept() {
    net::io_context& loop = *loops[next++ % loops.size()];
    acceptor->async_accept(
        loop, [this](ErrorCode ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
  }

  void OnAccept(ErrorCode ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      LogRepeated("accept failed", ec.message());
      if ((ec == net::error::no_descriptors || ec.value() == ENFILE) && ShedOne()) return Accept();
      // Another pinch: wait a little instead of spinning.
      retry->expires_after(std::chrono::milliseconds(100));
      retry->async_wait([this](ErrorCode waitError) {
        if (!waitError) Accept();
      });
      return;
    }
    if (++state.connections > state.options.maxConnections) {
      --state.connections;
      ErrorCode ignored;
      socket.close(ignored);
    } else {
      socket.set_option(tcp::no_delay(true), ec);
      const net::ip::address peer = PeerAddress(socket);
      std::string counted =
          state.options.trustedProxies.Contains(peer) ? std::string() : peer.to_string();
      const bool admitted = state.Admit(counted);
      StartConnection(std::move(socket), state, peer, std::move(counted), admitted);
    }
    Accept();
  }

  // Out of descriptors, a waiting client would hang in the queue: the spare descriptor makes
  // room to take that connection and close it at once. False when there is no spare.
  bool ShedOne() {
    if (spare < 0) return false;
    ::close(spare);
    const int fd = ::accept4(acceptor->native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd >= 0;
  }

  // Ends every loop; connections and pending operations are dropped when the loops are destroyed.
  // Once: a signal and a caller on another thread may both ask.
  void Stop() {
    std::call_once(stopped, [this] {
      for (auto& guard : guards) guard.reset();
      for (auto& loop : loops) loop->stop();
    });
  }

  CServerState state;
  std::vector<std::unique_ptr<net::io_context>> loops;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> guards;
  std::optional<tcp::acceptor> acceptor;
  std::optional<net::steady_timer> retry;
  std::optional<net::signal_set> signals;
  size_t next = 0;
  int spare = -1;  // a descriptor held back for ShedOne
  std::once_flag stopped;
};

CHttpServer::CHttpServer(CHttpHandler& handler, CServerOptions options)
    : m_impl(std::make_unique<CImpl>(handler, std::move(options))) {}

CHttpServer::~CHttpServer() = default;

unsigned short CHttpServer::Listen() {
  const CServerOptions& options = m_impl->state.options;
  const std::string where = options.address + " port " + std::to_string(options.port);
  ErrorCode ec;
  const net::ip::address address = net::ip::make_address(options.address, ec);
  if (ec) throw std::runtime_error("not an IP address: " + options.address);
  const tcp::endpoint endpoint(address, options.port);
  tcp::acceptor& acceptor = *m_impl->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
  return acceptor.local_endpoint().port();
}

void CHttpServer::Run() {
  CImpl& impl = *m_impl;
  impl.signals->async_wait([this](ErrorCode ec, int) {
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

void CHttpServer::Stop() { m_impl->Stop(); }
