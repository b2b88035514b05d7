// The store in one SQLite file: its schema and upgrades, look-ups and the writer's transactions.
#include "storage/sqlite_store.h"

#include <sqlite3.h>

#include <cstdio>
#include <iterator>

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS accounts (
  name_key   TEXT PRIMARY KEY,
  name       TEXT NOT NULL,
  key_hash   TEXT NOT NULL,
  code_page  INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  playback   INTEGER NOT NULL DEFAULT 0,
  artist     TEXT NOT NULL DEFAULT '',
  title      TEXT NOT NULL DEFAULT '',
  album      TEXT NOT NULL DEFAULT '',
  year       TEXT NOT NULL DEFAULT '',
  genre      TEXT NOT NULL DEFAULT '',
  track_at   INTEGER NOT NULL DEFAULT 0,
  stopped_at INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS kept_reports (
  name_key   TEXT PRIMARY KEY,
  stopped    INTEGER NOT NULL,
  artist     BLOB NOT NULL,
  title      BLOB NOT NULL,
  album      BLOB NOT NULL,
  year       BLOB NOT NULL,
  genre      BLOB NOT NULL,
  arrived_at INTEGER NOT NULL,
  due_at_ms  INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS account_settings (
  name_key   TEXT PRIMARY KEY,
  layout     TEXT NOT NULL,
  theme      TEXT NOT NULL,
  accent     INTEGER NOT NULL,
  show_album INTEGER NOT NULL,
  show_year  INTEGER NOT NULL,
  show_genre INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS service_meta (
  name  TEXT PRIMARY KEY,
  value INTEGER NOT NULL
) WITHOUT ROWID;
)";

// The upgrades after kSchema, in order; PRAGMA user_version counts those applied.
constexpr const char* kUpgrades[] = {
    "ALTER TABLE accounts ADD COLUMN version INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN changed_at INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN applied_at_ms INTEGER NOT NULL DEFAULT 0;",
    // Account identities (numbered in name order for accounts made before) and key versions,
    // which name a session's account; the sessions; the secret of the sign-in forms.
    "ALTER TABLE accounts ADD COLUMN id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN key_version INTEGER NOT NULL DEFAULT 1;"
    "UPDATE accounts SET id = (SELECT count(*) FROM accounts AS b "
    "  WHERE b.name_key <= accounts.name_key);"
    "INSERT OR REPLACE INTO service_meta (name, value) "
    "  SELECT 'next_account_id', count(*) + 1 FROM accounts;"
    "CREATE UNIQUE INDEX accounts_by_id ON accounts (id);"
    "CREATE TABLE sessions (token_hash TEXT PRIMARY KEY, account_id INTEGER NOT NULL, "
    "  key_version INTEGER NOT NULL, created_ms INTEGER NOT NULL, used_ms INTEGER NOT NULL) "
    "  WITHOUT ROWID;"
    "CREATE INDEX sessions_by_account ON sessions (account_id, created_ms);"
    "CREATE TABLE service_secrets (name TEXT PRIMARY KEY, secret TEXT NOT NULL) WITHOUT ROWID;",
    // Other players: the player token, the end of a track whose length they told, UTF-8 reports.
    "ALTER TABLE accounts ADD COLUMN ends_at INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN token_hash TEXT;"
    "ALTER TABLE accounts ADD COLUMN token_md5 TEXT;"
    "CREATE UNIQUE INDEX accounts_by_token ON accounts (token_hash);"
    "ALTER TABLE kept_reports ADD COLUMN source INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE kept_reports ADD COLUMN started_at INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE kept_reports ADD COLUMN duration_s INTEGER NOT NULL DEFAULT 0;",
    // The wrong-key marker that the image shows, kept over a restart.
    "ALTER TABLE accounts ADD COLUMN wrong_key INTEGER NOT NULL DEFAULT 0;",
};

constexpr char kFindSql[] =
    "SELECT name, key_hash, code_page, created_at, playback, artist, title, album, year, genre, "
    "track_at, stopped_at, version, changed_at, applied_at_ms, s.layout, s.theme, s.accent, "
    "s.show_album, s.show_year, s.show_genre, id, key_version, ends_at, "
    "coalesce(token_hash, ''), coalesce(token_md5, ''), wrong_key "
    "FROM accounts LEFT JOIN account_settings AS s USING (name_key) WHERE name_key = ?1";
constexpr char kMarkWrongKeySql[] =
    "UPDATE accounts SET wrong_key = 1 WHERE name_key = ?1 AND playback = 0";
constexpr char kFindTokenSql[] = "SELECT name FROM accounts WHERE token_hash = ?1";
constexpr char kTokenSql[] =
    "UPDATE accounts SET token_hash = ?2, token_md5 = ?3 WHERE name_key = ?1";
// An account's identity is never given again, also not after the account with the largest one
// is deleted.
constexpr char kInsertSql[] =
    "INSERT INTO accounts (name_key, name, key_hash, code_page, created_at, id) "
    "VALUES (?1, ?2, ?3, ?4, ?5, (SELECT value FROM service_meta WHERE name = 'next_account_id'))";
constexpr char kNextIdSql[] =
    "UPDATE service_meta SET value = value + 1 WHERE name = 'next_account_id'";
constexpr char kUpdateSql[] =
    "UPDATE accounts SET playback = ?2, artist = ?3, title = ?4, album = ?5, year = ?6, "
    "genre = ?7, track_at = ?8, stopped_at = ?9, version = version + 1, "
    "changed_at = MAX(?10 / 1000, changed_at + 1), applied_at_ms = ?10, ends_at = ?11 "
    "WHERE name_key = ?1";
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
constexpr char kTouchSql[] =
    "UPDATE accounts SET version = version + 1, changed_at = MAX(?2 / 1000, changed_at + 1) "
    "WHERE name_key = ?1";
constexpr char kRemoveSql[] = "DELETE FROM accounts WHERE name_key = ?1";
constexpr char kRemoveSettingsSql[] = "DELETE FROM account_settings WHERE name_key = ?1";
constexpr char kUnkeepSql[] = "DELETE FROM kept_reports WHERE name_key = ?1";
constexpr char kKeptSql[] =
    "SELECT name_key, stopped, artist, title, album, year, genre, arrived_at, due_at_ms, source, "
    "started_at, duration_s FROM kept_reports";
constexpr char kProbeSql[] =
    "BEGIN IMMEDIATE; INSERT OR REPLACE INTO service_meta (name, value) "
    "VALUES ('write_check', strftime('%s', 'now')); COMMIT";

std::string ErrorText(sqlite3* db, const char* what) {
  return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

sqlite3* OpenConnection(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = ErrorText(db, ("cannot open " + path).c_str());
    sqlite3_close(db);
    throw CStoreError(message);
  }
  // Another process (the command line's adduser) may write at the same time.
  sqlite3_busy_timeout(db, 5000);
  return db;
}

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = std::string(sql) + ": " + (error ? error : "failed");
    sqlite3_free(error);
    throw CStoreError(message);
  }
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    throw CStoreError(ErrorText(db, "prepare"));
  }
  return stmt;
}

void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Raw tag bytes, which need not be valid UTF-8.
void BindBlob(sqlite3_stmt* stmt, int index, std::string_view bytes) {
  sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string ColumnBlob(sqlite3_stmt* stmt, int column) {
  const void* bytes = sqlite3_column_blob(stmt, column);
  return bytes ? std::string(static_cast<const char*>(bytes),
                             static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
               : std::string();
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
              : std::string();
}

// Binds the five tags of `tags` (a CTrackState or a CKeptReport) to ?3 to ?7.
template <typename TTags, typename TBind>
void BindTags(sqlite3_stmt* stmt, const TTags& tags, TBind bind) {
  bind(stmt, 3, tags.artist);
  bind(stmt, 4, tags.title);
  bind(stmt, 5, tags.album);
  bind(stmt, 6, tags.year);
  bind(stmt, 7, tags.genre);
}

// A statement prepared for one use, finalized when it goes out of scope.
class COneStatement {
 public:
  COneStatement(sqlite3* db, const char* sql) : m_db(db), m_stmt(Prepare(db, sql)) {}
  ~COneStatement() { sqlite3_finalize(m_stmt); }
  COneStatement(const COneStatement&) = delete;
  COneStatement& operator=(const COneStatement&) = delete;
  sqlite3_stmt* get() const { return m_stmt; }
  // One step: SQLITE_ROW or SQLITE_DONE; throws CStoreError naming `what` on anything else.
  int Step(const char* what) {
    const int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(ErrorText(m_db, what));
    return rc;
  }

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt;
};

// Runs a bound statement to its end and clears it for the next use; the SQLite result code.
int RunStatement(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

// Creates the tables when missing and applies the upgrades the file has not had, in one
// transaction.
void CreateOrUpgrade(sqlite3* db) {
  Exec(db, "BEGIN IMMEDIATE");
  try {
    Exec(db, kSchema);
    sqlite3_stmt* stmt = nullptr;
    int applied = 0;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      applied = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
    const int known = static_cast<int>(std::size(kUpgrades));
    if (applied > known) {
      throw CStoreError("the data file has schema version " + std::to_string(applied) +
                        ", newer than this velk-service knows (" + std::to_string(known) + ")");
    }
    for (int i = applied; i < known; ++i) Exec(db, kUpgrades[i]);
    Exec(db, ("PRAGMA user_version = " + std::to_string(known)).c_str());
    Exec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace

CSqliteStore::CSqliteStore(const std::string& path) : m_path(path) {
  m_writer = OpenConnection(path);
  try {
    if (sqlite3_db_readonly(m_writer, "main") == 1) {
      throw CStoreError(path + " can only be read; velk-service needs to write it");
    }
    Exec(m_writer, "PRAGMA journal_mode = WAL");
    // In WAL mode a commit without fsync survives a crash of the process, and a power failure
    // loses at most the last moments of state: signatures, not money.
    Exec(m_writer, "PRAGMA synchronous = NORMAL");
    CreateOrUpgrade(m_writer);
    m_insertStmt = Prepare(m_writer, kInsertSql);
    m_updateStmt = Prepare(m_writer, kUpdateSql);
    m_keepStmt = Prepare(m_writer, kKeepSql);
    m_unkeepStmt = Prepare(m_writer, kUnkeepSql);
    m_settingsStmt = Prepare(m_writer, kSettingsSql);
    m_accountStmt = Prepare(m_writer, kAccountSql);
    m_touchStmt = Prepare(m_writer, kTouchSql);
    m_removeStmt = Prepare(m_writer, kRemoveSql);
    m_removeSettingsStmt = Prepare(m_writer, kRemoveSettingsSql);
    m_tokenStmt = Prepare(m_writer, kTokenSql);
    m_markWrongKeyStmt = Prepare(m_writer, kMarkWrongKeySql);
    m_reader = OpenConnection(path);
    m_findStmt = Prepare(m_reader, kFindSql);
    m_findTokenStmt = Prepare(m_reader, kFindTokenSql);
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
  for (sqlite3_stmt* stmt :
       {m_findStmt, m_insertStmt, m_updateStmt, m_keepStmt, m_unkeepStmt, m_settingsStmt,
        m_accountStmt, m_touchStmt, m_removeStmt, m_removeSettingsStmt, m_tokenStmt,
        m_findTokenStmt, m_markWrongKeyStmt}) {
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
    found = std::move(record);
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(ErrorText(m_reader, "find"));
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
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(ErrorText(m_reader, "find token"));
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
  sqlite3_stmt* stmt = Prepare(m_reader, kKeptSql);
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
  if (rc != SQLITE_DONE) throw CStoreError(ErrorText(m_reader, "kept reports"));
  return kept;
}

void CSqliteStore::Commit(const std::vector<CCreation>& creations,
                          const std::map<std::string, CAccountWrite>& writes,
                          std::vector<CQueuedReport>& reports,
                          std::vector<ECreateResult>& results) {
  // The one instance on the file decides the report interval in memory.
  if (!reports.empty()) throw CStoreError("reports are decided in memory with SQLite");
  try {
    Exec(m_writer, "BEGIN IMMEDIATE");
    // Writes first: a name that one of them frees may be taken by a creation in the same batch.
    for (const auto& [nameKey, write] : writes) ApplyWrite(nameKey, write);
    for (size_t i = 0; i < creations.size(); ++i) {
      const CAccountRecord& record = creations[i].record;
      BindText(m_insertStmt, 1, NameKey(record.name));
      BindText(m_insertStmt, 2, record.name);
      BindText(m_insertStmt, 3, record.keyHash);
      sqlite3_bind_int(m_insertStmt, 4, record.codePage);
      sqlite3_bind_int64(m_insertStmt, 5, record.createdAt);
      const int rc = RunStatement(m_insertStmt);
      results[i] = rc == SQLITE_DONE                  ? ECreateResult::kCreated
                   : (rc & 0xff) == SQLITE_CONSTRAINT ? ECreateResult::kDuplicate
                                                      : ECreateResult::kFailed;
      if (results[i] == ECreateResult::kCreated) COneStatement(m_writer, kNextIdSql).Step("id");
    }
    Exec(m_writer, "COMMIT");
  } catch (const CStoreError&) {
    sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void CSqliteStore::ApplyWrite(const std::string& nameKey, const CAccountWrite& write) {
  if (write.state) {
    const CTrackState& state = *write.state;
    BindText(m_updateStmt, 1, nameKey);
    sqlite3_bind_int(m_updateStmt, 2, static_cast<int>(state.playback));
    BindTags(m_updateStmt, state, BindText);
    sqlite3_bind_int64(m_updateStmt, 8, state.trackAt);
    sqlite3_bind_int64(m_updateStmt, 9, state.stoppedAt);
    sqlite3_bind_int64(m_updateStmt, 10, write.nowMs);
    sqlite3_bind_int64(m_updateStmt, 11, state.endsAt);
    if (RunStatement(m_updateStmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "update"));
  }
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
    if (RunStatement(m_keepStmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "keep"));
  } else if (write.keptAction == CAccountWrite::EKept::kClear) {
    BindText(m_unkeepStmt, 1, nameKey);
    if (RunStatement(m_unkeepStmt) != SQLITE_DONE) {
      throw CStoreError(ErrorText(m_writer, "unkeep"));
    }
  }
  ApplyAccountChange(nameKey, write);
}

void CSqliteStore::ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write) {
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
      throw CStoreError(ErrorText(m_writer, "settings"));
    }
  }
  if (write.keyHash || write.codePage) {
    BindText(m_accountStmt, 1, nameKey);
    if (write.keyHash) BindText(m_accountStmt, 2, *write.keyHash);
    if (write.codePage) sqlite3_bind_int(m_accountStmt, 3, *write.codePage);
    if (RunStatement(m_accountStmt) != SQLITE_DONE) {
      throw CStoreError(ErrorText(m_writer, "account"));
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
    if (RunStatement(m_tokenStmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "token"));
  }
  if (write.markWrongKey) {
    BindText(m_markWrongKeyStmt, 1, nameKey);
    if (RunStatement(m_markWrongKeyStmt) != SQLITE_DONE) {
      throw CStoreError(ErrorText(m_writer, "wrong key"));
    }
  }
  if (write.settings || write.codePage) {
    BindText(m_touchStmt, 1, nameKey);
    sqlite3_bind_int64(m_touchStmt, 2, write.nowMs);
    if (RunStatement(m_touchStmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "touch"));
  }
  if (!write.remove) return;
  COneStatement sessions(m_writer, kEndAccountSessionsSql);
  BindText(sessions.get(), 1, nameKey);
  sessions.Step("sessions");
  for (sqlite3_stmt* stmt : {m_removeStmt, m_removeSettingsStmt, m_unkeepStmt}) {
    BindText(stmt, 1, nameKey);
    if (RunStatement(stmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "remove"));
  }
}

bool CSqliteStore::AddSession(const std::string& tokenHash, const std::string& nameKey,
                              const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) {
  std::lock_guard<std::mutex> lock(m_readerMutex);
  Exec(m_reader, "BEGIN IMMEDIATE");
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
    Exec(m_reader, "COMMIT");
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
