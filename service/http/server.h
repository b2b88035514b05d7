// The network side of the service: an asynchronous HTTP/1.1 server on Boost.Beast.
#pragma once

#include <memory>
#include <string>

#include "http/client_address.h"
#include "http/message.h"

struct CServerOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;             // 0: any free port
  size_t threads = 2;                     // network threads, each with its own event loop
  int requestTimeoutSeconds = 10;         // from a request's first byte to its last
  int idleTimeoutSeconds = 30;            // a kept-alive connection waiting for its next request
  int writeTimeoutSeconds = 30;           // a client reading an answer
  size_t maxConnections = 10000;          // further connections are closed at once
  size_t maxConnectionsPerAddress = 256;  // further ones from one client address get 503
  // Peers whose forwarding fields name the client. Their own connections count towards
  // maxConnections only: the proxy limits connections per client at its door.
  CTrustedProxies trustedProxies;
  bool requestMetrics = true;  // open connections in Metrics()
};

// Accepts connections and serves each one without a thread of its own: an idle or slow client
// costs its buffers, not a thread. Every request goes to the handler, and every answer sent
// (or refusal) is told to it.
class CHttpServer {
 public:
  // `handler` must outlive the server.
  CHttpServer(CHttpHandler& handler, CServerOptions options);
  ~CHttpServer();
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Binds and listens; throws std::runtime_error naming the address when that fails. Returns the
  // port, which tells which one was chosen for port 0.
  unsigned short Listen();
  // Serves until SIGINT or SIGTERM arrives or Stop is called; the calling thread is one of the
  // network threads. Returns when all of them have ended.
  void Run();
  // Makes Run return soon. Any thread.
  void Stop();

 private:
  struct CImpl;
  std::unique_ptr<CImpl> m_impl;
};
