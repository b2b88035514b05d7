// A loopback HTTP capture server for the Wine test programs: records each request's raw bytes.
//
// Usage:
//   CCaptureServer server(CCaptureServer::Mode::kAnswerOk);
//   if (!server.Start()) ...;                 // listening on port 80 once this returns true
//   ... make requests to http://localhost/ or http://127.0.0.1/ ...
//   server.WaitForRequests(1, 5000);
//   std::vector<std::string> requests = server.Requests();
//   server.Stop();                            // or let the destructor do it
//
// It listens on 127.0.0.1:80 only. Wine's WinINet asks the resolver for IPv4 addresses, and the
// system resolver answers 127.0.0.1 for "localhost" even where the hosts file names only ::1, so
// requests to http://localhost/ arrive here. One thread accepts and reads every connection.
// A request is complete once its header block has ended ("\r\n\r\n") and as many body bytes as
// its Content-Length header announces have arrived. All methods are for the test's thread; the
// accessors may be called while the server runs.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

class CCaptureServer {
 public:
  enum class Mode {
    kAnswerOk,  // answers each complete request with 200, no body, and closes the connection
    kSilent,    // accepts and reads, but never answers nor closes until Stop
    kTrickle,   // answers each complete request with a status line and an endless header, one
                // byte every 500 ms, until Stop
    kAbsent,    // listens nowhere: connections to port 80 are refused
  };

  explicit CCaptureServer(Mode mode) : mode_(mode) {
    InitializeCriticalSection(&lock_);
    InitializeConditionVariable(&changed_);
  }
  ~CCaptureServer() {
    Stop();
    DeleteCriticalSection(&lock_);
  }
  CCaptureServer(const CCaptureServer&) = delete;
  CCaptureServer& operator=(const CCaptureServer&) = delete;

  // Binds and listens, then starts the serving thread: connections are queued from the moment it
  // returns true. Returns false when 127.0.0.1:80 cannot be bound (another server holds it) or
  // the thread cannot start. kAbsent only starts Winsock.
  bool Start() {
    stop_.store(false);
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    winsock_ = true;
    if (mode_ == Mode::kAbsent) return true;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener_ = Listen(address);
    if (listener_ == INVALID_SOCKET) return false;
    thread_ = CreateThread(nullptr, 0, &CCaptureServer::Serve, this, 0, nullptr);
    return thread_ != nullptr;
  }

  // Stops serving, closes every socket and waits for the thread. Safe to call twice.
  void Stop() {
    stop_.store(true);
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
      thread_ = nullptr;
    }
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    listener_ = INVALID_SOCKET;
    for (Connection& c : connections_) closesocket(c.socket);
    connections_.clear();
    if (winsock_) WSACleanup();
    winsock_ = false;
  }

  // Waits until at least `count` requests are complete. Returns false on timeout.
  bool WaitForRequests(std::size_t count, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    EnterCriticalSection(&lock_);
    while (requests_.size() < count) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline ||
          !SleepConditionVariableCS(&changed_, &lock_, static_cast<DWORD>(deadline - now))) {
        break;
      }
    }
    const bool done = requests_.size() >= count;
    LeaveCriticalSection(&lock_);
    return done;
  }

  // The raw bytes of every complete request, in the order they completed.
  std::vector<std::string> Requests() {
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = requests_;
    LeaveCriticalSection(&lock_);
    return copy;
  }

  // Connections accepted so far.
  int Accepted() const { return accepted_.load(); }

 private:
  struct Connection {
    SOCKET socket;
    std::string received;        // bytes of the request not yet complete
    ULONGLONG next_trickle = 0;  // kTrickle: when the next header byte is due; 0 before the answer
  };

  static SOCKET Listen(const sockaddr_in& address) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    // Lets a test program rebind at once after an earlier server's connections were closed.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, SOMAXCONN) != 0) {
      closesocket(s);
      return INVALID_SOCKET;
    }
    return s;
  }

  // Length of the first complete request at the start of `bytes`, or 0 while it is incomplete.
  static std::size_t CompleteLength(const std::string& bytes) {
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    std::string head = bytes.substr(0, end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t body = 0;
    const std::size_t field = head.find("\r\ncontent-length:");
    if (field != std::string::npos) {
      body = std::strtoul(head.c_str() + field + 17, nullptr, 10);
    }
    const std::size_t total = end + 4 + body;
    return bytes.size() >= total ? total : 0;
  }

  static DWORD WINAPI Serve(LPVOID self) {
    static_cast<CCaptureServer*>(self)->Loop();
    return 0;
  }

  // Serving thread: polls the sockets every 50 ms so that Stop is noticed promptly.
  void Loop() {
    while (!stop_.load()) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(listener_, &readable);
      for (const Connection& c : connections_) FD_SET(c.socket, &readable);
      timeval wait = {0, 50000};
      const int ready = select(0, &readable, nullptr, nullptr, &wait);
      if (ready < 0) continue;
      if (ready == 0) FD_ZERO(&readable);
      if (FD_ISSET(listener_, &readable)) {
        SOCKET accepted = accept(listener_, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
          connections_.push_back({accepted, std::string()});
          ++accepted_;
        }
      }
      for (std::size_t i = 0; i < connections_.size();) {
        Connection& c = connections_[i];
        if (c.next_trickle != 0 && GetTickCount64() >= c.next_trickle) {
          c.next_trickle += kTrickleMs;
          send(c.socket, "x", 1, 0);
        }
        if (FD_ISSET(c.socket, &readable) && !ReadFrom(c)) {
          closesocket(connections_[i].socket);
          connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          ++i;
        }
      }
    }
  }

  // Reads what `c` has, records its complete requests and answers them. Returns false when the
  // connection is over (closed by the peer, failed, or answered).
  bool ReadFrom(Connection& c) {
    char buffer[4096];
    const int got = recv(c.socket, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    c.received.append(buffer, static_cast<std::size_t>(got));
    const std::size_t length = CompleteLength(c.received);
    if (length == 0) return true;
    EnterCriticalSection(&lock_);
    requests_.push_back(c.received.substr(0, length));
    LeaveCriticalSection(&lock_);
    WakeAllConditionVariable(&changed_);
    c.received.erase(0, length);
    if (mode_ == Mode::kTrickle) {
      static const char kHead[] = "HTTP/1.1 200 OK\r\nX-Slow: ";
      send(c.socket, kHead, sizeof kHead - 1, 0);
      c.next_trickle = GetTickCount64() + kTrickleMs;
    }
    if (mode_ != Mode::kAnswerOk) return true;
    static const char kAnswer[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(c.socket, kAnswer, sizeof kAnswer - 1, 0);
    shutdown(c.socket, SD_SEND);
    return false;
  }

  static constexpr ULONGLONG kTrickleMs = 500;
  const Mode mode_;
  bool winsock_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  std::vector<Connection> connections_;  // serving thread only while it runs
  HANDLE thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE changed_;
  std::vector<std::string> requests_;  // guarded by lock_
};
