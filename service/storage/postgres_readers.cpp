// The PostgreSQL store's look-up connections, taken in turn by the threads doing database work.
#include "storage/postgres_readers.h"

#include "storage/postgres_schema.h"
#include "storage/store.h"

namespace {

constexpr size_t kReaders = 8;
// How long a look-up may wait for its answer before its connection is given up as hung.
constexpr int64_t kReaderAnswerMs = 3000;

}  // namespace

CPostgresReaders::CPostgresReaders(const std::string& conninfo, CConnectGate& gate) {
  for (size_t i = 0; i < kReaders; ++i)
    m_readers.push_back(
        std::make_unique<CReader>(conninfo, kReaderAnswerMs, &gate, PostgresStatements()));
}

CPostgresConnection& CPostgresReaders::Take(std::unique_lock<std::mutex>& lock) {
  // A free one if there is one, else the next in turn.
  const size_t start = m_nextReader.fetch_add(1, std::memory_order_relaxed);
  for (size_t i = 0; i < m_readers.size(); ++i) {
    CReader& reader = *m_readers[(start + i) % m_readers.size()];
    lock = std::unique_lock<std::mutex>(reader.mutex, std::try_to_lock);
    if (lock.owns_lock()) return reader.connection;
  }
  CReader& reader = *m_readers[start % m_readers.size()];
  lock = std::unique_lock<std::mutex>(reader.mutex);
  return reader.connection;
}

CPostgresConnection::Result CPostgresReaders::Read(CPostgresConnection& reader, const char* name,
                                                   const std::vector<std::string>& params) {
  try {
    return reader.Run(name, params);
  } catch (const CStoreError&) {
    // A connection the server dropped (a restart) is noticed only on use: try a new one at once.
    if (!reader.LostConnection()) throw;
    return reader.Run(name, params);
  }
}

CPostgresConnection::Result CPostgresReaders::Read(const char* name,
                                                   const std::vector<std::string>& params) {
  std::unique_lock<std::mutex> lock;
  return Read(Take(lock), name, params);
}
