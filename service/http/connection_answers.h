// The answering side of a client connection: writing answers, keeping the connection alive or
// closing it (after a refusal, lingering so that the answer arrives), each request's time limit,
// and what the handler is told of every answer.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
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

// A connection's socket, buffer and counts, and its answers. Lives as long as an operation or a
// pending reply holds it; runs only on the thread of its own event loop. The reading side derives
// from it and goes on with Continue after each answer that keeps the connection open.
class CConnectionAnswers : public std::enable_shared_from_this<CConnectionAnswers> {
 public:
  // Gives the connection back to the server's counts.
  virtual ~CConnectionAnswers();
  CConnectionAnswers(const CConnectionAnswers&) = delete;
  CConnectionAnswers& operator=(const CConnectionAnswers&) = delete;

 protected:
  // `counted` has been admitted to `server`'s counts; it is the peer's address, or empty for a
  // trusted proxy. `server` must outlive the connection.
  CConnectionAnswers(boost::asio::ip::tcp::socket&& socket, CServerState& server,
                     std::string counted);

  static constexpr size_t kReadChunk = 4096;

  // Goes on after an answer that left the connection open: the next request, which may have
  // arrived with this one (pipelining).
  virtual void Continue() = 0;
  // Writes `response`; the connection closes after it unless it and the request keep it alive.
  void Send(CHttpResponse response);
  // Starts the time limit of a request at its first byte: the whole request must arrive in time,
  // however slowly its bytes trickle in; when it does not, the pending read is cancelled and
  // m_timedOut set.
  void StartRequestClock();
  void StopRequestClock();
  void Close();

  // What the access log and the metrics tell of the request being answered; the method is empty
  // for a request refused before its head was read.
  struct CExchange {
    std::chrono::steady_clock::time_point start;
    std::string method;
    std::string target;
    std::string client;  // the request's client address, the peer's until a request says
    int status = 0;
    size_t bodyBytes = 0;
  };

  boost::beast::tcp_stream m_stream;
  boost::beast::flat_buffer m_buffer;
  CServerState& m_server;
  std::string m_address;  // the key of the per-address count, empty when not counted
  CExchange m_exchange;
  bool m_requestStarted = false;  // the request clock runs
  bool m_timedOut = false;
  bool m_keepAlive = true;
  bool m_headRequest = false;  // the answer being made is one to HEAD
  bool m_refused = false;      // the connection ends after an answer to a refused request

 private:
  void OnWritten(boost::system::error_code ec, bool close);
  // Tells the handler of the answer just written: from the request's first byte to its last byte
  // sent. The access line and the request metrics are the pipeline's.
  void Record();
  // Closes after an answer to a refused request. The client may still be sending what was
  // refused; closing with unread bytes would reset the connection and could destroy the answer
  // before the client reads it. So: stop sending, then read and discard for a short while.
  void LingerThenClose();
  void Discard();

  boost::asio::steady_timer m_deadline;  // the request's own time limit, which ends in a 408
  uint64_t m_requestClock = 0;           // counts the requests whose time limit was started
  CHttpResponse m_response;              // the answer being written, kept alive for the write
  std::string m_head;
  size_t m_discarded = 0;
};
