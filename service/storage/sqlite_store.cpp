// The store in one SQLite file: its parts, and the look-ups of accounts and kept reports.
#include "storage/sqlite_store.h"

#include <sqlite3.h>

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
constexpr char kKeptSql[] =
    "SELECT name_key, stopped, artist, title, album, year, genre, arrived_at, due_at_ms, source, "
    "started_at, duration_s FROM kept_reports";

}  // namespace

CSqliteStore::CSqliteStore(const std::string& path)
    : m_writer(path, *this),
      m_reader(path),
      m_sessions(m_reader),
      m_history(m_reader),
      m_queue(m_writer) {
  try {
    m_findStmt = SqlitePrepare(m_reader.db, kFindSql);
    m_findTokenStmt = SqlitePrepare(m_reader.db, kFindTokenSql);
  } catch (...) {
    sqlite3_finalize(m_findStmt);
    throw;
  }
}

CSqliteStore::~CSqliteStore() {
  // The look-up statements go before their connection; then the queue, the first member to go,
  // commits what it holds on the writer's connection, which goes after it.
  sqlite3_finalize(m_findStmt);
  sqlite3_finalize(m_findTokenStmt);
}

std::optional<CAccountRecord> CSqliteStore::FindAccount(std::string_view name) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
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
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw CStoreError(SqliteErrorText(m_reader.db, "find"));
  return found;
}

std::optional<std::string> CSqliteStore::FindNameByToken(std::string_view tokenHash) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  BindText(m_findTokenStmt, 1, tokenHash);
  const int rc = sqlite3_step(m_findTokenStmt);
  std::optional<std::string> name;
  if (rc == SQLITE_ROW) name = ColumnText(m_findTokenStmt, 0);
  sqlite3_reset(m_findTokenStmt);
  sqlite3_clear_bindings(m_findTokenStmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw CStoreError(SqliteErrorText(m_reader.db, "find token"));
  return name;
}

std::vector<std::pair<std::string, CKeptReport>> CSqliteStore::KeptReports() {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  sqlite3_stmt* stmt = SqlitePrepare(m_reader.db, kKeptSql);
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
  if (rc != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_reader.db, "kept reports"));
  return kept;
}
