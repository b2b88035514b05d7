// The PostgreSQL store's look-up connections, which the threads doing database work take in turn.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/postgres_connection.h"

// A few connections, each under its own lock: enough that the threads doing database work seldom
// wait for one another. Any thread.
class CPostgresReaders {
 public:
  // `gate` outlives the readers; no connection is made before its first use.
  CPostgresReaders(const std::string& conninfo, CConnectGate& gate);

  // A free connection if there is one, else the next in turn; locked by `lock` until it goes.
  CPostgresConnection& Take(std::unique_lock<std::mutex>& lock);
  // Runs a read on `reader`, once more after a lost connection. Throws CStoreError.
  static CPostgresConnection::Result Read(CPostgresConnection& reader, const char* name,
                                          const std::vector<std::string>& params);
  // Takes a connection and runs one read on it (as Read).
  CPostgresConnection::Result Read(const char* name, const std::vector<std::string>& params);

 private:
  struct CReader {
    CReader(const std::string& conninfo, int64_t answerWithinMs, CConnectGate* gate,
            const std::vector<CPreparedStatement>& prepared)
        : connection(conninfo, answerWithinMs, gate, prepared) {}
    std::mutex mutex;
    CPostgresConnection connection;
  };
  std::vector<std::unique_ptr<CReader>> m_readers;
  std::atomic<size_t> m_nextReader{0};
};
