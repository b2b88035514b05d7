// The store in a PostgreSQL database: its connections, look-ups, sessions and limits.
#include "storage/postgres_store.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "storage/postgres_rows.h"
#include "storage/postgres_schema.h"

using namespace pgrows;

namespace {

// Look-up connections: enough that the threads doing database work seldom wait for one another.
constexpr size_t kReaders = 8;
// How long a look-up, and a statement of the writer's transaction, may wait for its answer before
// its connection is given up as hung.
constexpr int64_t kReaderAnswerMs = 3000;
constexpr int64_t kWriterAnswerMs = 8000;

}  // namespace

CPostgresStore::CPostgresStore(const std::string& conninfo)
    : m_conninfo(conninfo), m_writer(conninfo, kWriterAnswerMs, &m_gate, PostgresStatements()) {
  for (size_t i = 0; i < kReaders; ++i)
    m_readers.push_back(
        std::make_unique<CReader>(conninfo, kReaderAnswerMs, &m_gate, PostgresStatements()));
  UpgradePostgresSchema(m_writer);
  // Connect again, so that every statement is prepared against the tables that now exist.
  m_writer.Reset();
  StartWriter();
}

CPostgresStore::~CPostgresStore() { StopWriter(); }

CPostgresConnection& CPostgresStore::Reader(std::unique_lock<std::mutex>& lock) {
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

CPostgresConnection::Result CPostgresStore::Read(CPostgresConnection& reader, const char* name,
                                                 const std::vector<std::string>& params) {
  try {
    return reader.Run(name, params);
  } catch (const CStoreError&) {
    // A connection the server dropped (a restart) is noticed only on use: try a new one at once.
    if (!reader.LostConnection()) throw;
    return reader.Run(name, params);
  }
}

void CPostgresStore::CheckWritable() {
  try {
    m_writer.Run("probe", {});
  } catch (const CStoreError& error) {
    throw CStoreError(std::string("the database cannot be written (") + error.what() +
                      "); velk-service needs a database it may write");
  }
}

std::optional<CAccountRecord> CPostgresStore::FindAccount(std::string_view name) {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "find", {NameKey(name)});
  const PGresult* row = result.get();
  if (PQntuples(row) != 1) return std::nullopt;
  CAccountRecord record;
  record.name = Text(row, 0, 0);
  record.keyHash = Text(row, 0, 1);
  record.codePage = static_cast<int>(Number(row, 0, 2));
  record.createdAt = Number(row, 0, 3);
  record.state.playback = PlaybackOf(Number(row, 0, 4));
  record.state.artist = Text(row, 0, 5);
  record.state.title = Text(row, 0, 6);
  record.state.album = Text(row, 0, 7);
  record.state.year = Text(row, 0, 8);
  record.state.genre = Text(row, 0, 9);
  record.state.trackAt = Number(row, 0, 10);
  record.state.stoppedAt = Number(row, 0, 11);
  record.version = Number(row, 0, 12);
  record.changedAt = Number(row, 0, 13);
  record.appliedAtMs = Number(row, 0, 14);
  if (!PQgetisnull(row, 0, 15)) {
    record.settings.layout = Text(row, 0, 15);
    record.settings.theme = Text(row, 0, 16);
    record.settings.accent = static_cast<int32_t>(Number(row, 0, 17));
    record.settings.showAlbum = Text(row, 0, 18) == "t";
    record.settings.showYear = Text(row, 0, 19) == "t";
    record.settings.showGenre = Text(row, 0, 20) == "t";
  }
  record.id = Number(row, 0, 21);
  record.keyVersion = Number(row, 0, 22);
  record.state.endsAt = Number(row, 0, 23);
  record.tokenHash = Text(row, 0, 24);
  record.tokenMd5 = Text(row, 0, 25);
  record.wrongKey = Text(row, 0, 26) == "t";
  record.keepHistory = Text(row, 0, 27) == "t";
  record.historyVersion = Number(row, 0, 28);
  record.state.fromPlugin = Text(row, 0, 29) == "t";
  return record;
}

std::optional<std::string> CPostgresStore::FindNameByToken(std::string_view tokenHash) {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "find_token", {std::string(tokenHash)});
  if (PQntuples(result.get()) != 1) return std::nullopt;
  return Text(result.get(), 0, 0);
}

std::vector<int64_t> CPostgresStore::AddFailedAttempt(const std::string& address, int64_t atMs,
                                                      int64_t forgetBeforeMs) {
  {
    std::unique_lock<std::mutex> lock;
    CPostgresConnection& reader = Reader(lock);
    Read(reader, "forget_attempts", {std::to_string(forgetBeforeMs)});
    reader.Run("add_attempt", {address, std::to_string(atMs)});
  }
  return FailedAttempts(address, forgetBeforeMs);
}

bool CPostgresStore::UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) {
  std::unique_lock<std::mutex> lock;
  auto used =
      Read(Reader(lock), "use_once", {id, std::to_string(nowMs), std::to_string(expiresMs)});
  return std::string_view(PQcmdTuples(used.get())) == "1";
}

std::vector<int64_t> CPostgresStore::FailedAttempts(const std::string& address, int64_t sinceMs) {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "attempts", {address, std::to_string(sinceMs)});
  std::vector<int64_t> times;
  for (int i = 0; i < PQntuples(result.get()); ++i) times.push_back(Number(result.get(), i, 0));
  return times;
}

CChangeFeed* CPostgresStore::Changes() {
  std::call_once(m_feedMade,
                 [this] { m_feed = std::make_unique<CPostgresChangeFeed>(m_conninfo, m_gate); });
  return m_feed.get();
}

bool CPostgresStore::AddSession(const std::string& tokenHash, const std::string& nameKey,
                                const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = Reader(lock);
  auto added = Read(reader, "add_session", {tokenHash, nameKey, keyHash, std::to_string(nowMs)});
  if (PQntuples(added.get()) != 1) return false;
  reader.Run("trim_sessions", {Text(added.get(), 0, 0), std::to_string(maxPerAccount)});
  return true;
}

std::optional<std::string> CPostgresStore::FindSession(const std::string& tokenHash, int64_t nowMs,
                                                       int64_t bornAfterMs, int64_t usedAfterMs) {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = Reader(lock);
  auto found = Read(reader, "find_session",
                    {tokenHash, std::to_string(bornAfterMs), std::to_string(usedAfterMs)});
  if (PQntuples(found.get()) != 1) return std::nullopt;
  if (nowMs - Number(found.get(), 0, 1) > kSessionUseStepMs)
    reader.Run("use_session", {tokenHash, std::to_string(nowMs)});
  return Text(found.get(), 0, 0);
}

void CPostgresStore::EndSession(const std::string& tokenHash) {
  std::unique_lock<std::mutex> lock;
  Read(Reader(lock), "end_session", {tokenHash});
}

size_t CPostgresStore::RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) {
  std::unique_lock<std::mutex> lock;
  auto removed = Read(Reader(lock), "stale_sessions",
                      {std::to_string(bornBeforeMs), std::to_string(usedBeforeMs)});
  return static_cast<size_t>(std::strtoull(PQcmdTuples(removed.get()), nullptr, 10));
}

std::string CPostgresStore::SharedSecret() {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = Reader(lock);
  // The first instance to ask makes it; the others find it.
  Read(reader, "add_secret", {NewSecret()});
  auto found = reader.Run("secret", {});
  if (PQntuples(found.get()) != 1) throw CStoreError("database: no shared secret");
  return Text(found.get(), 0, 0);
}
