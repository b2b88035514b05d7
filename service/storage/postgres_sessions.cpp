// The PostgreSQL store's sessions, shared secret and client limits, on the look-up connections.
#include "storage/postgres_sessions.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "storage/postgres_rows.h"

using namespace pgrows;

bool CPostgresSessions::AddSession(const std::string& tokenHash, const std::string& nameKey,
                                   const std::string& keyHash, int64_t nowMs,
                                   size_t maxPerAccount) {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = m_readers.Take(lock);
  auto added = CPostgresReaders::Read(reader, "add_session",
                                      {tokenHash, nameKey, keyHash, std::to_string(nowMs)});
  if (PQntuples(added.get()) != 1) return false;
  reader.Run("trim_sessions", {Text(added.get(), 0, 0), std::to_string(maxPerAccount)});
  return true;
}

std::optional<std::string> CPostgresSessions::FindSession(const std::string& tokenHash,
                                                          int64_t nowMs, int64_t bornAfterMs,
                                                          int64_t usedAfterMs) {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = m_readers.Take(lock);
  auto found =
      CPostgresReaders::Read(reader, "find_session",
                             {tokenHash, std::to_string(bornAfterMs), std::to_string(usedAfterMs)});
  if (PQntuples(found.get()) != 1) return std::nullopt;
  if (nowMs - Number(found.get(), 0, 1) > kSessionUseStepMs)
    reader.Run("use_session", {tokenHash, std::to_string(nowMs)});
  return Text(found.get(), 0, 0);
}

void CPostgresSessions::EndSession(const std::string& tokenHash) {
  m_readers.Read("end_session", {tokenHash});
}

size_t CPostgresSessions::RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) {
  auto removed = m_readers.Read("stale_sessions",
                                {std::to_string(bornBeforeMs), std::to_string(usedBeforeMs)});
  return static_cast<size_t>(std::strtoull(PQcmdTuples(removed.get()), nullptr, 10));
}

std::string CPostgresSessions::SharedSecret() {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = m_readers.Take(lock);
  // The first instance to ask makes it; the others find it.
  CPostgresReaders::Read(reader, "add_secret", {NewSecret()});
  auto found = reader.Run("secret", {});
  if (PQntuples(found.get()) != 1) throw CStoreError("database: no shared secret");
  return Text(found.get(), 0, 0);
}

std::vector<int64_t> CPostgresLimits::AddFailedAttempt(const std::string& address, int64_t atMs,
                                                       int64_t forgetBeforeMs) {
  {
    std::unique_lock<std::mutex> lock;
    CPostgresConnection& reader = m_readers.Take(lock);
    CPostgresReaders::Read(reader, "forget_attempts", {std::to_string(forgetBeforeMs)});
    reader.Run("add_attempt", {address, std::to_string(atMs)});
  }
  return FailedAttempts(address, forgetBeforeMs);
}

std::vector<int64_t> CPostgresLimits::FailedAttempts(const std::string& address, int64_t sinceMs) {
  auto result = m_readers.Read("attempts", {address, std::to_string(sinceMs)});
  std::vector<int64_t> times;
  for (int i = 0; i < PQntuples(result.get()); ++i) times.push_back(Number(result.get(), i, 0));
  return times;
}

bool CPostgresLimits::UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) {
  auto used = m_readers.Read("use_once", {id, std::to_string(nowMs), std::to_string(expiresMs)});
  return std::string_view(PQcmdTuples(used.get())) == "1";
}
