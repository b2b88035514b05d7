// The service's one SQLite file: accounts, their signature state and kept reports, written by one
// writer thread.
#include "storage/store.h"

#include <sqlite3.h>

#include <cstdio>

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

constexpr char kFindSql[] =
    "SELECT name, key_hash, code_page, created_at, playback, artist, title, album, year, genre, "
    "track_at, stopped_at, s.layout, s.theme, s.accent, s.show_album, s.show_year, s.show_genre "
    "FROM accounts LEFT JOIN account_settings AS s USING (name_key) WHERE name_key = ?1";
constexpr char kInsertSql[] =
    "INSERT INTO accounts (name_key, name, key_hash, code_page, created_at) "
    "VALUES (?1, ?2, ?3, ?4, ?5)";
constexpr char kUpdateSql[] =
    "UPDATE accounts SET playback = ?2, artist = ?3, title = ?4, album = ?5, year = ?6, "
    "genre = ?7, track_at = ?8, stopped_at = ?9 WHERE name_key = ?1";
constexpr char kKeepSql[] =
    "INSERT OR REPLACE INTO kept_reports (name_key, stopped, artist, title, album, year, genre, "
    "arrived_at, due_at_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
constexpr char kSettingsSql[] =
    "INSERT OR REPLACE INTO account_settings (name_key, layout, theme, accent, show_album, "
    "show_year, show_genre) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";
constexpr char kAccountSql[] =
    "UPDATE accounts SET key_hash = coalesce(?2, key_hash), code_page = coalesce(?3, code_page) "
    "WHERE name_key = ?1";
constexpr char kRemoveSql[] = "DELETE FROM accounts WHERE name_key = ?1";
constexpr char kRemoveSettingsSql[] = "DELETE FROM account_settings WHERE name_key = ?1";
constexpr char kUnkeepSql[] = "DELETE FROM kept_reports WHERE name_key = ?1";
constexpr char kKeptSql[] =
    "SELECT name_key, stopped, artist, title, album, year, genre, arrived_at, due_at_ms "
    "FROM kept_reports";
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

// Runs a bound statement to its end and clears it for the next use; the SQLite result code.
int RunStatement(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

}  // namespace

std::string NameKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

CStore::CStore(const std::string& path) : m_path(path) {
  m_writer = OpenConnection(path);
  try {
    if (sqlite3_db_readonly(m_writer, "main") == 1) {
      throw CStoreError(path + " can only be read; velk-service needs to write it");
    }
    Exec(m_writer, "PRAGMA journal_mode = WAL");
    // In WAL mode a commit without fsync survives a crash of the process, and a power failure
    // loses at most the last moments of state: signatures, not money.
    Exec(m_writer, "PRAGMA synchronous = NORMAL");
    Exec(m_writer, kSchema);
    m_insertStmt = Prepare(m_writer, kInsertSql);
    m_updateStmt = Prepare(m_writer, kUpdateSql);
    m_keepStmt = Prepare(m_writer, kKeepSql);
    m_unkeepStmt = Prepare(m_writer, kUnkeepSql);
    m_settingsStmt = Prepare(m_writer, kSettingsSql);
    m_accountStmt = Prepare(m_writer, kAccountSql);
    m_removeStmt = Prepare(m_writer, kRemoveSql);
    m_removeSettingsStmt = Prepare(m_writer, kRemoveSettingsSql);
    m_reader = OpenConnection(path);
    m_findStmt = Prepare(m_reader, kFindSql);
  } catch (...) {
    Close();
    throw;
  }
  m_writerThread = std::thread([this] { RunWriter(); });
}

CStore::~CStore() {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_stopping = true;
  }
  m_queueWake.notify_all();
  m_writerThread.join();
  Close();
}

void CStore::Close() {
  for (sqlite3_stmt* stmt : {m_findStmt, m_insertStmt, m_updateStmt, m_keepStmt, m_unkeepStmt,
                             m_settingsStmt, m_accountStmt, m_removeStmt, m_removeSettingsStmt}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close(m_reader);
  sqlite3_close(m_writer);
}

std::optional<CAccountRecord> CStore::FindAccount(std::string_view name) {
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
    if (sqlite3_column_type(stmt, 12) != SQLITE_NULL) {
      record.settings.layout = ColumnText(stmt, 12);
      record.settings.theme = ColumnText(stmt, 13);
      record.settings.accent = sqlite3_column_int(stmt, 14);
      record.settings.showAlbum = sqlite3_column_int(stmt, 15) != 0;
      record.settings.showYear = sqlite3_column_int(stmt, 16) != 0;
      record.settings.showGenre = sqlite3_column_int(stmt, 17) != 0;
    }
    found = std::move(record);
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(ErrorText(m_reader, "find"));
  return found;
}

void CStore::CheckWritable() {
  char* error = nullptr;
  if (sqlite3_exec(m_writer, kProbeSql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "failed";
    sqlite3_free(error);
    sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    throw CStoreError(m_path + " cannot be written (" + message +
                      "); velk-service needs a writable data file with room to grow");
  }
}

std::vector<std::pair<std::string, CKeptReport>> CStore::KeptReports() {
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
    kept.emplace_back(ColumnText(stmt, 0), std::move(report));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw CStoreError(ErrorText(m_reader, "kept reports"));
  return kept;
}

void CStore::CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_creations.push_back({std::move(record), std::move(done)});
    ++m_enqueued;
  }
  m_queueWake.notify_one();
}

void CStore::Write(const std::string& name, CAccountWrite write, Done done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    CPendingWrite& pending = m_writes[NameKey(name)];
    if (write.state) pending.write.state = std::move(write.state);
    if (write.keptAction != CAccountWrite::EKept::kLeave) {
      pending.write.keptAction = write.keptAction;
      pending.write.kept = std::move(write.kept);
    }
    if (write.settings) pending.write.settings = std::move(write.settings);
    if (write.keyHash) pending.write.keyHash = std::move(write.keyHash);
    if (write.codePage) pending.write.codePage = write.codePage;
    pending.write.remove = pending.write.remove || write.remove;
    pending.done.push_back(std::move(done));
    ++m_enqueued;
  }
  m_queueWake.notify_one();
}

void CStore::Flush() {
  std::unique_lock<std::mutex> lock(m_queueMutex);
  const uint64_t target = m_enqueued;
  m_flushed.wait(lock, [&] { return m_committed >= target; });
}

void CStore::RunWriter() {
  for (;;) {
    std::vector<CCreation> creations;
    std::map<std::string, CPendingWrite> writes;
    uint64_t upTo = 0;
    {
      std::unique_lock<std::mutex> lock(m_queueMutex);
      m_queueWake.wait(lock,
                       [this] { return m_stopping || !m_creations.empty() || !m_writes.empty(); });
      if (m_creations.empty() && m_writes.empty()) return;
      creations.swap(m_creations);
      writes.swap(m_writes);
      upTo = m_enqueued;
    }
    CommitBatch(creations, writes);
    {
      std::lock_guard<std::mutex> lock(m_queueMutex);
      m_committed = upTo;
    }
    m_flushed.notify_all();
  }
}

void CStore::CommitBatch(std::vector<CCreation>& creations,
                         std::map<std::string, CPendingWrite>& writes) {
  std::vector<ECreateResult> results(creations.size(), ECreateResult::kFailed);
  std::string error;
  try {
    Exec(m_writer, "BEGIN IMMEDIATE");
    // Writes first: a name that one of them frees may be taken by a creation in the same batch.
    for (const auto& [nameKey, pending] : writes) ApplyWrite(nameKey, pending.write);
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
    }
    Exec(m_writer, "COMMIT");
  } catch (const CStoreError& failure) {
    error = failure.what();
    sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    for (ECreateResult& result : results) {
      if (result == ECreateResult::kCreated) result = ECreateResult::kFailed;
    }
  }
  for (size_t i = 0; i < creations.size(); ++i) creations[i].done(results[i]);
  for (auto& [nameKey, pending] : writes) {
    for (Done& done : pending.done) done(error.empty(), error);
  }
}

void CStore::ApplyWrite(const std::string& nameKey, const CAccountWrite& write) {
  if (write.state) {
    const CTrackState& state = *write.state;
    BindText(m_updateStmt, 1, nameKey);
    sqlite3_bind_int(m_updateStmt, 2, static_cast<int>(state.playback));
    BindTags(m_updateStmt, state, BindText);
    sqlite3_bind_int64(m_updateStmt, 8, state.trackAt);
    sqlite3_bind_int64(m_updateStmt, 9, state.stoppedAt);
    if (RunStatement(m_updateStmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "update"));
  }
  if (write.keptAction == CAccountWrite::EKept::kSet) {
    const CKeptReport& kept = write.kept;
    BindText(m_keepStmt, 1, nameKey);
    sqlite3_bind_int(m_keepStmt, 2, kept.stopped ? 1 : 0);
    BindTags(m_keepStmt, kept, BindBlob);
    sqlite3_bind_int64(m_keepStmt, 8, kept.arrivedAt);
    sqlite3_bind_int64(m_keepStmt, 9, kept.dueAtMs);
    if (RunStatement(m_keepStmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "keep"));
  } else if (write.keptAction == CAccountWrite::EKept::kClear) {
    BindText(m_unkeepStmt, 1, nameKey);
    if (RunStatement(m_unkeepStmt) != SQLITE_DONE) {
      throw CStoreError(ErrorText(m_writer, "unkeep"));
    }
  }
  ApplyAccountChange(nameKey, write);
}

void CStore::ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write) {
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
  if (!write.remove) return;
  for (sqlite3_stmt* stmt : {m_removeStmt, m_removeSettingsStmt, m_unkeepStmt}) {
    BindText(stmt, 1, nameKey);
    if (RunStatement(stmt) != SQLITE_DONE) throw CStoreError(ErrorText(m_writer, "remove"));
  }
}
