// The SQLite store's sessions and shared secret, on the look-up connection.
#include "storage/sqlite_sessions.h"

namespace {

constexpr char kAddSessionSql[] =
    "INSERT INTO sessions (token_hash, account_id, key_version, created_ms, used_ms) "
    "SELECT ?1, id, key_version, ?4, ?4 FROM accounts WHERE name_key = ?2 AND key_hash = ?3 "
    "RETURNING account_id";
constexpr char kTrimSessionsSql[] =
    "DELETE FROM sessions WHERE account_id = ?1 AND token_hash NOT IN (SELECT token_hash FROM "
    "sessions WHERE account_id = ?1 ORDER BY created_ms DESC, token_hash LIMIT ?2)";
constexpr char kFindSessionSql[] =
    "SELECT a.name_key, s.used_ms FROM sessions AS s JOIN accounts AS a ON a.id = s.account_id "
    "AND a.key_version = s.key_version WHERE s.token_hash = ?1 AND s.created_ms > ?2 AND "
    "s.used_ms > ?3";
constexpr char kUseSessionSql[] = "UPDATE sessions SET used_ms = ?2 WHERE token_hash = ?1";
constexpr char kEndSessionSql[] = "DELETE FROM sessions WHERE token_hash = ?1";
constexpr char kStaleSessionsSql[] =
    "DELETE FROM sessions WHERE created_ms < ?1 OR used_ms < ?2 OR NOT EXISTS (SELECT 1 FROM "
    "accounts AS a WHERE a.id = sessions.account_id AND a.key_version = sessions.key_version)";
constexpr char kAddSecretSql[] =
    "INSERT OR IGNORE INTO service_secrets (name, secret) VALUES ('forms', ?1)";
constexpr char kSecretSql[] = "SELECT secret FROM service_secrets WHERE name = 'forms'";

}  // namespace

bool CSqliteSessions::AddSession(const std::string& tokenHash, const std::string& nameKey,
                                 const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  SqliteExec(m_reader.db, "BEGIN IMMEDIATE");
  try {
    int64_t accountId = 0;
    {
      COneStatement add(m_reader.db, kAddSessionSql);
      BindText(add.get(), 1, tokenHash);
      BindText(add.get(), 2, nameKey);
      BindText(add.get(), 3, keyHash);
      sqlite3_bind_int64(add.get(), 4, nowMs);
      if (add.Step("session") == SQLITE_ROW) accountId = sqlite3_column_int64(add.get(), 0);
      if (accountId != 0) add.Step("session");
    }
    if (accountId != 0) {
      COneStatement trim(m_reader.db, kTrimSessionsSql);
      sqlite3_bind_int64(trim.get(), 1, accountId);
      sqlite3_bind_int64(trim.get(), 2, static_cast<int64_t>(maxPerAccount));
      trim.Step("sessions");
    }
    SqliteExec(m_reader.db, "COMMIT");
    return accountId != 0;
  } catch (const CStoreError&) {
    sqlite3_exec(m_reader.db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::optional<std::string> CSqliteSessions::FindSession(const std::string& tokenHash, int64_t nowMs,
                                                        int64_t bornAfterMs, int64_t usedAfterMs) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  std::string nameKey;
  int64_t usedMs = 0;
  {
    COneStatement find(m_reader.db, kFindSessionSql);
    BindText(find.get(), 1, tokenHash);
    sqlite3_bind_int64(find.get(), 2, bornAfterMs);
    sqlite3_bind_int64(find.get(), 3, usedAfterMs);
    if (find.Step("session") != SQLITE_ROW) return std::nullopt;
    nameKey = ColumnText(find.get(), 0);
    usedMs = sqlite3_column_int64(find.get(), 1);
  }
  if (nowMs - usedMs > kSessionUseStepMs) {
    COneStatement use(m_reader.db, kUseSessionSql);
    BindText(use.get(), 1, tokenHash);
    sqlite3_bind_int64(use.get(), 2, nowMs);
    use.Step("session");
  }
  return nameKey;
}

void CSqliteSessions::EndSession(const std::string& tokenHash) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  COneStatement end(m_reader.db, kEndSessionSql);
  BindText(end.get(), 1, tokenHash);
  end.Step("session");
}

size_t CSqliteSessions::RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  COneStatement stale(m_reader.db, kStaleSessionsSql);
  sqlite3_bind_int64(stale.get(), 1, bornBeforeMs);
  sqlite3_bind_int64(stale.get(), 2, usedBeforeMs);
  stale.Step("sessions");
  return static_cast<size_t>(sqlite3_changes(m_reader.db));
}

std::string CSqliteSessions::SharedSecret() {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  {
    COneStatement add(m_reader.db, kAddSecretSql);
    BindText(add.get(), 1, NewSecret());
    add.Step("secret");
  }
  COneStatement find(m_reader.db, kSecretSql);
  if (find.Step("secret") != SQLITE_ROW) throw CStoreError("no secret in " + m_reader.path);
  return ColumnText(find.get(), 0);
}
