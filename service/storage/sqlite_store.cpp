// The store in one SQLite file: its connections, look-ups and sessions.
#include "storage/sqlite_store.h"

#include <sqlite3.h>

#include "storage/sqlite_schema.h"
#include "storage/sqlite_statements.h"

namespace {

constexpr char kFindSql[] =
    "SELECT name, key_hash, code_page, created_at, playback, artist, title, album, year, genre, "
    "track_at, stopped_at, version, changed_at, applied_at_ms, s.layout, s.theme, s.accent, "
    "s.show_album, s.show_year, s.show_genre, id, key_version, ends_at, "
    "coalesce(token_hash, ''), coalesce(token_md5, ''), wrong_key, keep_history, history_version, "
    "from_plugin "
    "FROM accounts LEFT JOIN account_settings AS s USING (name_key) WHERE name_key = ?1";
constexpr char kFindTokenSql[] = "SELECT name FROM accounts WHERE token_hash = ?1";
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
constexpr char kKeptSql[] =
    "SELECT name_key, stopped, artist, title, album, year, genre, arrived_at, due_at_ms, source, "
    "started_at, duration_s FROM kept_reports";
constexpr char kProbeSql[] =
    "BEGIN IMMEDIATE; INSERT OR REPLACE INTO service_meta (name, value) "
    "VALUES ('write_check', strftime('%s', 'now')); COMMIT";

}  // namespace

CSqliteStore::CSqliteStore(const std::string& path) : m_path(path) {
  m_writer = OpenSqliteConnection(path);
  try {
    if (sqlite3_db_readonly(m_writer, "main") == 1) {
      throw CStoreError(path + " can only be read; velk-service needs to write it");
    }
    SqliteExec(m_writer, "PRAGMA journal_mode = WAL");
    // In WAL mode a commit without fsync survives a crash of the process, and a power failure
    // loses at most the last moments of state: signatures, not money.
    SqliteExec(m_writer, "PRAGMA synchronous = NORMAL");
    CreateOrUpgradeSqlite(m_writer);
    PrepareWrites();
    m_history = std::make_unique<CSqliteHistory>(m_writer);
    m_reader = OpenSqliteConnection(path);
    m_findStmt = SqlitePrepare(m_reader, kFindSql);
    m_findTokenStmt = SqlitePrepare(m_reader, kFindTokenSql);
  } catch (...) {
    Close();
    throw;
  }
  StartWriter();
}

CSqliteStore::~CSqliteStore() {
  StopWriter();
  Close();
}

void CSqliteStore::Close() {
  m_history.reset();
  for (sqlite3_stmt* stmt :
       {m_findStmt, m_insertStmt, m_updateStmt, m_keepStmt, m_unkeepStmt, m_settingsStmt,
        m_accountStmt, m_touchStmt, m_removeStmt, m_removeSettingsStmt, m_tokenStmt,
        m_findTokenStmt, m_markWrongKeyStmt, m_keepHistoryStmt}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close(m_reader);
  sqlite3_close(m_writer);
}

std::optional<CAccountRecord> CSqliteStore::FindAccount(std::string_view name) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  sqlite3_stmt* stmt = m_findStmt;
  BindText(stmt, 1, NameKey(name));
  const int rc = sqlite3_step(stmt);
  std::optional<CAccountRecord> found;
  if (rc == SQLITE_ROW) {
    CAccountRecord record;
    record.name = ColumnText(stmt, 0);
    record.keyHash = ColumnText(stmt, 1);
    record.codePage = sqlite3_column_int(stmt, 2);
    record.createdAt = sqlite3_column_int64(stmt, 3);
    const int playback = sqlite3_column_int(stmt, 4);
    record.state.playback = playback == 1   ? CTrackState::EPlayback::kPlaying
                            : playback == 2 ? CTrackState::EPlayback::kStopped
                                            : CTrackState::EPlayback::kNone;
    record.state.artist = ColumnText(stmt, 5);
    record.state.title = ColumnText(stmt, 6);
    record.state.album = ColumnText(stmt, 7);
    record.state.year = ColumnText(stmt, 8);
    record.state.genre = ColumnText(stmt, 9);
    record.state.trackAt = sqlite3_column_int64(stmt, 10);
    record.state.stoppedAt = sqlite3_column_int64(stmt, 11);
    record.id = sqlite3_column_int64(stmt, 21);
    record.keyVersion = sqlite3_column_int64(stmt, 22);
    record.version = sqlite3_column_int64(stmt, 12);
    record.changedAt = sqlite3_column_int64(stmt, 13);
    record.appliedAtMs = sqlite3_column_int64(stmt, 14);
    if (sqlite3_column_type(stmt, 15) != SQLITE_NULL) {
      record.settings.layout = ColumnText(stmt, 15);
      record.settings.theme = ColumnText(stmt, 16);
      record.settings.accent = sqlite3_column_int(stmt, 17);
      record.settings.showAlbum = sqlite3_column_int(stmt, 18) != 0;
      record.settings.showYear = sqlite3_column_int(stmt, 19) != 0;
      record.settings.showGenre = sqlite3_column_int(stmt, 20) != 0;
    }
    record.state.endsAt = sqlite3_column_int64(stmt, 23);
    record.tokenHash = ColumnText(stmt, 24);
    record.tokenMd5 = ColumnText(stmt, 25);
    record.wrongKey = sqlite3_column_int(stmt, 26) != 0;
    record.keepHistory = sqlite3_column_int(stmt, 27) != 0;
    record.historyVersion = sqlite3_column_int64(stmt, 28);
    record.state.fromPlugin = sqlite3_column_int(stmt, 29) != 0;
    found = std::move(record);
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_reader, "find"));
  return found;
}

std::optional<std::string> CSqliteStore::FindNameByToken(std::string_view tokenHash) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  BindText(m_findTokenStmt, 1, tokenHash);
  const int rc = sqlite3_step(m_findTokenStmt);
  std::optional<std::string> name;
  if (rc == SQLITE_ROW) name = ColumnText(m_findTokenStmt, 0);
  sqlite3_reset(m_findTokenStmt);
  sqlite3_clear_bindings(m_findTokenStmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw CStoreError(SqliteErrorText(m_reader, "find token"));
  return name;
}

void CSqliteStore::CheckWritable() {
  char* error = nullptr;
  if (sqlite3_exec(m_writer, kProbeSql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "failed";
    sqlite3_free(error);
    sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    throw CStoreError(m_path + " cannot be written (" + message +
                      "); velk-service needs a writable data file with room to grow");
  }
}

std::vector<std::pair<std::string, CKeptReport>> CSqliteStore::KeptReports() {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  sqlite3_stmt* stmt = SqlitePrepare(m_reader, kKeptSql);
  std::vector<std::pair<std::string, CKeptReport>> kept;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    CKeptReport report;
    report.stopped = sqlite3_column_int(stmt, 1) != 0;
    report.artist = ColumnBlob(stmt, 2);
    report.title = ColumnBlob(stmt, 3);
    report.album = ColumnBlob(stmt, 4);
    report.year = ColumnBlob(stmt, 5);
    report.genre = ColumnBlob(stmt, 6);
    report.arrivedAt = sqlite3_column_int64(stmt, 7);
    report.dueAtMs = sqlite3_column_int64(stmt, 8);
    report.source = static_cast<CKeptReport::ESource>(sqlite3_column_int(stmt, 9));
    report.startedAt = sqlite3_column_int64(stmt, 10);
    report.durationS = sqlite3_column_int64(stmt, 11);
    kept.emplace_back(ColumnText(stmt, 0), std::move(report));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_reader, "kept reports"));
  return kept;
}

bool CSqliteStore::AddSession(const std::string& tokenHash, const std::string& nameKey,
                              const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  SqliteExec(m_reader, "BEGIN IMMEDIATE");
  try {
    int64_t accountId = 0;
    {
      COneStatement add(m_reader, kAddSessionSql);
      BindText(add.get(), 1, tokenHash);
      BindText(add.get(), 2, nameKey);
      BindText(add.get(), 3, keyHash);
      sqlite3_bind_int64(add.get(), 4, nowMs);
      if (add.Step("session") == SQLITE_ROW) accountId = sqlite3_column_int64(add.get(), 0);
      if (accountId != 0) add.Step("session");
    }
    if (accountId != 0) {
      COneStatement trim(m_reader, kTrimSessionsSql);
      sqlite3_bind_int64(trim.get(), 1, accountId);
      sqlite3_bind_int64(trim.get(), 2, static_cast<int64_t>(maxPerAccount));
      trim.Step("sessions");
    }
    SqliteExec(m_reader, "COMMIT");
    return accountId != 0;
  } catch (const CStoreError&) {
    sqlite3_exec(m_reader, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::optional<std::string> CSqliteStore::FindSession(const std::string& tokenHash, int64_t nowMs,
                                                     int64_t bornAfterMs, int64_t usedAfterMs) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  std::string nameKey;
  int64_t usedMs = 0;
  {
    COneStatement find(m_reader, kFindSessionSql);
    BindText(find.get(), 1, tokenHash);
    sqlite3_bind_int64(find.get(), 2, bornAfterMs);
    sqlite3_bind_int64(find.get(), 3, usedAfterMs);
    if (find.Step("session") != SQLITE_ROW) return std::nullopt;
    nameKey = ColumnText(find.get(), 0);
    usedMs = sqlite3_column_int64(find.get(), 1);
  }
  if (nowMs - usedMs > kSessionUseStepMs) {
    COneStatement use(m_reader, kUseSessionSql);
    BindText(use.get(), 1, tokenHash);
    sqlite3_bind_int64(use.get(), 2, nowMs);
    use.Step("session");
  }
  return nameKey;
}

void CSqliteStore::EndSession(const std::string& tokenHash) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  COneStatement end(m_reader, kEndSessionSql);
  BindText(end.get(), 1, tokenHash);
  end.Step("session");
}

size_t CSqliteStore::RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  COneStatement stale(m_reader, kStaleSessionsSql);
  sqlite3_bind_int64(stale.get(), 1, bornBeforeMs);
  sqlite3_bind_int64(stale.get(), 2, usedBeforeMs);
  stale.Step("sessions");
  return static_cast<size_t>(sqlite3_changes(m_reader));
}

std::string CSqliteStore::SharedSecret() {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  {
    COneStatement add(m_reader, kAddSecretSql);
    BindText(add.get(), 1, NewSecret());
    add.Step("secret");
  }
  COneStatement find(m_reader, kSecretSql);
  if (find.Step("secret") != SQLITE_ROW) throw CStoreError("no secret in " + m_path);
  return ColumnText(find.get(), 0);
}
