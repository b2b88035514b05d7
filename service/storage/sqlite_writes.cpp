// The SQLite store's writer: each batch of writes and creations in one transaction.
#include "storage/sqlite_writes.h"

#include "storage/sqlite_schema.h"
#include "storage/sqlite_statements.h"

namespace {

constexpr char kMarkWrongKeySql[] =
    "UPDATE accounts SET wrong_key = 1 WHERE name_key = ?1 AND playback = 0";
constexpr char kTokenSql[] =
    "UPDATE accounts SET token_hash = ?2, token_md5 = ?3 WHERE name_key = ?1";
// An account's identity is never given again, also not after the account with the largest one
// is deleted.
constexpr char kInsertSql[] =
    "INSERT INTO accounts (name_key, name, key_hash, code_page, created_at, id, keep_history) "
    "VALUES (?1, ?2, ?3, ?4, ?5, (SELECT value FROM service_meta WHERE name = 'next_account_id'), "
    "?6)";
constexpr char kNextIdSql[] =
    "UPDATE service_meta SET value = value + 1 WHERE name = 'next_account_id'";
constexpr char kUpdateSql[] =
    "UPDATE accounts SET playback = ?2, artist = ?3, title = ?4, album = ?5, year = ?6, "
    "genre = ?7, track_at = ?8, stopped_at = ?9, version = version + 1, "
    "changed_at = MAX(?10 / 1000, changed_at + 1), applied_at_ms = ?10, ends_at = ?11, "
    "from_plugin = ?12, listen_at = ?13 WHERE name_key = ?1";
constexpr char kKeepSql[] =
    "INSERT OR REPLACE INTO kept_reports (name_key, stopped, artist, title, album, year, genre, "
    "arrived_at, due_at_ms, source, started_at, duration_s) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
constexpr char kSettingsSql[] =
    "INSERT OR REPLACE INTO account_settings (name_key, layout, theme, accent, show_album, "
    "show_year, show_genre) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";
constexpr char kAccountSql[] =
    "UPDATE accounts SET key_hash = coalesce(?2, key_hash), "
    "key_version = key_version + (?2 IS NOT NULL), code_page = coalesce(?3, code_page) "
    "WHERE name_key = ?1";
// After a new key: the session that made it follows the new key version, the others end.
constexpr char kKeepSessionSql[] =
    "UPDATE sessions SET key_version = (SELECT key_version FROM accounts WHERE name_key = ?1) "
    "WHERE token_hash = ?2 AND account_id = (SELECT id FROM accounts WHERE name_key = ?1)";
constexpr char kEndOldSessionsSql[] =
    "DELETE FROM sessions WHERE account_id = (SELECT id FROM accounts WHERE name_key = ?1) AND "
    "key_version <> (SELECT key_version FROM accounts WHERE name_key = ?1)";
constexpr char kEndAccountSessionsSql[] =
    "DELETE FROM sessions WHERE account_id = (SELECT id FROM accounts WHERE name_key = ?1)";
constexpr char kTouchSql[] =
    "UPDATE accounts SET version = version + 1, changed_at = MAX(?2 / 1000, changed_at + 1) "
    "WHERE name_key = ?1";
constexpr char kRemoveSql[] = "DELETE FROM accounts WHERE name_key = ?1";
constexpr char kRemoveSettingsSql[] = "DELETE FROM account_settings WHERE name_key = ?1";
constexpr char kUnkeepSql[] = "DELETE FROM kept_reports WHERE name_key = ?1";
constexpr char kKeepHistorySql[] = "UPDATE accounts SET keep_history = ?2 WHERE name_key = ?1";

constexpr char kProbeSql[] =
    "BEGIN IMMEDIATE; INSERT OR REPLACE INTO service_meta (name, value) "
    "VALUES ('write_check', strftime('%s', 'now')); COMMIT";

}  // namespace

CSqliteWriter::CSqliteWriter(const std::string& path, const CStore& store)
    : m_path(path), m_store(store) {
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
    m_insertStmt = SqlitePrepare(m_writer, kInsertSql);
    m_updateStmt = SqlitePrepare(m_writer, kUpdateSql);
    m_keepStmt = SqlitePrepare(m_writer, kKeepSql);
    m_unkeepStmt = SqlitePrepare(m_writer, kUnkeepSql);
    m_settingsStmt = SqlitePrepare(m_writer, kSettingsSql);
    m_accountStmt = SqlitePrepare(m_writer, kAccountSql);
    m_touchStmt = SqlitePrepare(m_writer, kTouchSql);
    m_removeStmt = SqlitePrepare(m_writer, kRemoveSql);
    m_removeSettingsStmt = SqlitePrepare(m_writer, kRemoveSettingsSql);
    m_tokenStmt = SqlitePrepare(m_writer, kTokenSql);
    m_markWrongKeyStmt = SqlitePrepare(m_writer, kMarkWrongKeySql);
    m_keepHistoryStmt = SqlitePrepare(m_writer, kKeepHistorySql);
    m_history = std::make_unique<CSqliteHistory>(m_writer);
  } catch (...) {
    Close();
    throw;
  }
}

CSqliteWriter::~CSqliteWriter() { Close(); }

void CSqliteWriter::Close() {
  m_history.reset();
  for (sqlite3_stmt* stmt : {m_insertStmt, m_updateStmt, m_keepStmt, m_unkeepStmt, m_settingsStmt,
                             m_accountStmt, m_touchStmt, m_removeStmt, m_removeSettingsStmt,
                             m_tokenStmt, m_markWrongKeyStmt, m_keepHistoryStmt}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close(m_writer);
}

void CSqliteWriter::CheckWritable() {
  char* error = nullptr;
  if (sqlite3_exec(m_writer, kProbeSql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "failed";
    sqlite3_free(error);
    sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    throw CStoreError(m_path + " cannot be written (" + message +
                      "); velk-service needs a writable data file with room to grow");
  }
}

void CSqliteWriter::Commit(const std::vector<CQueuedCreation>& creations,
                           const std::map<std::string, CAccountWrite>& writes,
                           std::vector<CQueuedReport>& reports,
                           std::vector<ECreateResult>& results) {
  // The one instance on the file decides the report interval in memory.
  if (!reports.empty()) throw CStoreError("reports are decided in memory with SQLite");
  try {
    SqliteExec(m_writer, "BEGIN IMMEDIATE");
    // Writes first: a name that one of them frees may be taken by a creation in the same batch.
    for (const auto& [nameKey, write] : writes) ApplyWrite(nameKey, write);
    for (size_t i = 0; i < creations.size(); ++i) {
      const CAccountRecord& record = creations[i].record;
      BindText(m_insertStmt, 1, NameKey(record.name));
      BindText(m_insertStmt, 2, record.name);
      BindText(m_insertStmt, 3, record.keyHash);
      sqlite3_bind_int(m_insertStmt, 4, record.codePage);
      sqlite3_bind_int64(m_insertStmt, 5, record.createdAt);
      sqlite3_bind_int(m_insertStmt, 6, record.keepHistory ? 1 : 0);
      const int rc = RunStatement(m_insertStmt);
      results[i] = rc == SQLITE_DONE                  ? ECreateResult::kCreated
                   : (rc & 0xff) == SQLITE_CONSTRAINT ? ECreateResult::kDuplicate
                                                      : ECreateResult::kFailed;
      if (results[i] == ECreateResult::kCreated) COneStatement(m_writer, kNextIdSql).Step("id");
    }
    SqliteExec(m_writer, "COMMIT");
  } catch (const CStoreError&) {
    sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void CSqliteWriter::ApplyWrite(const std::string& nameKey, const CAccountWrite& write) {
  // History first: cleared before listens are added, and kept or not as the write switches it.
  if (write.clearHistory) m_history->Clear(nameKey);
  if (write.keepHistory) {
    BindText(m_keepHistoryStmt, 1, nameKey);
    sqlite3_bind_int(m_keepHistoryStmt, 2, *write.keepHistory ? 1 : 0);
    RunOrThrow(m_writer, m_keepHistoryStmt, "keep history");
  }
  std::vector<CListen> listens;
  for (const CTrackState& passed : write.passedStates)
    ApplyState(nameKey, passed, write.nowMs, listens);
  if (write.state) ApplyState(nameKey, *write.state, write.nowMs, listens);
  listens.insert(listens.end(), write.listens.begin(), write.listens.end());
  if (!listens.empty() && m_store.HistoryLimit() > 0)
    m_history->Add(nameKey, listens, m_store.HistoryLimit());
  if (write.keptAction == CAccountWrite::EKept::kSet) {
    const CKeptReport& kept = write.kept;
    BindText(m_keepStmt, 1, nameKey);
    sqlite3_bind_int(m_keepStmt, 2, kept.stopped ? 1 : 0);
    BindTags(m_keepStmt, kept, BindBlob);
    sqlite3_bind_int64(m_keepStmt, 8, kept.arrivedAt);
    sqlite3_bind_int64(m_keepStmt, 9, kept.dueAtMs);
    sqlite3_bind_int(m_keepStmt, 10, static_cast<int>(kept.source));
    sqlite3_bind_int64(m_keepStmt, 11, kept.startedAt);
    sqlite3_bind_int64(m_keepStmt, 12, kept.durationS);
    if (RunStatement(m_keepStmt) != SQLITE_DONE)
      throw CStoreError(SqliteErrorText(m_writer, "keep"));
  } else if (write.keptAction == CAccountWrite::EKept::kClear) {
    BindText(m_unkeepStmt, 1, nameKey);
    if (RunStatement(m_unkeepStmt) != SQLITE_DONE) {
      throw CStoreError(SqliteErrorText(m_writer, "unkeep"));
    }
  }
  ApplyAccountChange(nameKey, write);
}

void CSqliteWriter::ApplyState(const std::string& nameKey, const CTrackState& state, int64_t nowMs,
                               std::vector<CListen>& ended) {
  // A limit of 0 keeps no history: not even the plug-in's listen in progress is followed.
  const int64_t listenAt =
      m_store.HistoryLimit() > 0 ? m_history->PassState(nameKey, state, ended) : 0;
  BindText(m_updateStmt, 1, nameKey);
  sqlite3_bind_int(m_updateStmt, 2, static_cast<int>(state.playback));
  BindTags(m_updateStmt, state, BindText);
  sqlite3_bind_int64(m_updateStmt, 8, state.trackAt);
  sqlite3_bind_int64(m_updateStmt, 9, state.stoppedAt);
  sqlite3_bind_int64(m_updateStmt, 10, nowMs);
  sqlite3_bind_int64(m_updateStmt, 11, state.endsAt);
  sqlite3_bind_int(m_updateStmt, 12, state.fromPlugin ? 1 : 0);
  sqlite3_bind_int64(m_updateStmt, 13, listenAt);
  RunOrThrow(m_writer, m_updateStmt, "update");
}

void CSqliteWriter::ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write) {
  if (write.settings) {
    const CAccountSettings& settings = *write.settings;
    BindText(m_settingsStmt, 1, nameKey);
    BindText(m_settingsStmt, 2, settings.layout);
    BindText(m_settingsStmt, 3, settings.theme);
    sqlite3_bind_int(m_settingsStmt, 4, settings.accent);
    sqlite3_bind_int(m_settingsStmt, 5, settings.showAlbum ? 1 : 0);
    sqlite3_bind_int(m_settingsStmt, 6, settings.showYear ? 1 : 0);
    sqlite3_bind_int(m_settingsStmt, 7, settings.showGenre ? 1 : 0);
    if (RunStatement(m_settingsStmt) != SQLITE_DONE) {
      throw CStoreError(SqliteErrorText(m_writer, "settings"));
    }
  }
  if (write.keyHash || write.codePage) {
    BindText(m_accountStmt, 1, nameKey);
    if (write.keyHash) BindText(m_accountStmt, 2, *write.keyHash);
    if (write.codePage) sqlite3_bind_int(m_accountStmt, 3, *write.codePage);
    if (RunStatement(m_accountStmt) != SQLITE_DONE) {
      throw CStoreError(SqliteErrorText(m_writer, "account"));
    }
  }
  if (write.keyHash) {
    if (!write.keepSession.empty()) {
      COneStatement keep(m_writer, kKeepSessionSql);
      BindText(keep.get(), 1, nameKey);
      BindText(keep.get(), 2, write.keepSession);
      keep.Step("sessions");
    }
    COneStatement end(m_writer, kEndOldSessionsSql);
    BindText(end.get(), 1, nameKey);
    end.Step("sessions");
  }
  if (write.playerToken) {
    BindText(m_tokenStmt, 1, nameKey);
    BindText(m_tokenStmt, 2, write.playerToken->first);
    BindText(m_tokenStmt, 3, write.playerToken->second);
    if (RunStatement(m_tokenStmt) != SQLITE_DONE)
      throw CStoreError(SqliteErrorText(m_writer, "token"));
  }
  if (write.markWrongKey) {
    BindText(m_markWrongKeyStmt, 1, nameKey);
    if (RunStatement(m_markWrongKeyStmt) != SQLITE_DONE) {
      throw CStoreError(SqliteErrorText(m_writer, "wrong key"));
    }
  }
  if (write.settings || write.codePage) {
    BindText(m_touchStmt, 1, nameKey);
    sqlite3_bind_int64(m_touchStmt, 2, write.nowMs);
    if (RunStatement(m_touchStmt) != SQLITE_DONE)
      throw CStoreError(SqliteErrorText(m_writer, "touch"));
  }
  if (!write.remove) return;
  m_history->Clear(nameKey);
  COneStatement sessions(m_writer, kEndAccountSessionsSql);
  BindText(sessions.get(), 1, nameKey);
  sessions.Step("sessions");
  for (sqlite3_stmt* stmt : {m_removeStmt, m_removeSettingsStmt, m_unkeepStmt}) {
    BindText(stmt, 1, nameKey);
    if (RunStatement(stmt) != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_writer, "remove"));
  }
}
