// The gate that lets one connection attempt at a time through to a database that is unreachable.
#pragma once

#include <mutex>

// Shared by the connections of one store, from any thread: while the database is unreachable, one
// of them at a time tries to connect. A server that hangs still queues the connections made to
// it, and when it comes back it starts a process for every one of them, abandoned or not: a queue
// of abandoned attempts would hold up the live ones by as much as a second or two.
class CConnectGate {
 public:
  // Whether the caller may try to connect now: always while the database is reachable; while it
  // is not, only when no other attempt is under way. A caller let through calls Done once.
  bool Enter() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_unreachable && m_trying > 0) return false;
    ++m_trying;
    return true;
  }
  void Done(bool connected) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_trying;
    m_unreachable = !connected;
  }

 private:
  std::mutex m_mutex;
  bool m_unreachable = false;  // the last attempt failed
  int m_trying = 0;            // attempts under way
};
