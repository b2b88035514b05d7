// The SQLite store's history: the plug-in's listens derived from its states, listens kept with
// their counts and the limit, and the reads of recent listens and charts.
#include "storage/sqlite_history.h"

#include <algorithm>

#include "storage/sqlite_statements.h"

namespace {

constexpr char kStateSql[] =
    "SELECT listen_at, artist, title, album FROM accounts WHERE name_key = ?1";
constexpr char kAccountSql[] =
    "SELECT id, keep_history, listen_count FROM accounts WHERE name_key = ?1";
constexpr char kListenSql[] =
    "INSERT OR IGNORE INTO listens (account_id, at, artist, title, album, source) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
constexpr char kDaySql[] =
    "INSERT INTO track_days (account_id, day, artist, title, plays, last_at) "
    "VALUES (?1, ?2, ?3, ?4, 1, ?5) ON CONFLICT DO UPDATE SET plays = plays + 1, "
    "last_at = MAX(last_at, excluded.last_at)";
constexpr char kTrackSql[] =
    "INSERT INTO track_totals (account_id, artist, title, plays, last_at) "
    "VALUES (?1, ?2, ?3, 1, ?4) ON CONFLICT DO UPDATE SET plays = plays + 1, "
    "last_at = MAX(last_at, excluded.last_at)";
constexpr char kArtistSql[] =
    "INSERT INTO artist_totals (account_id, artist, plays, last_at) "
    "VALUES (?1, ?2, 1, ?3) ON CONFLICT DO UPDATE SET plays = plays + 1, "
    "last_at = MAX(last_at, excluded.last_at)";
// The oldest ?2 listens: those up to the ?2-th in the order of the key.
constexpr char kTrimSql[] =
    "DELETE FROM listens WHERE account_id = ?1 AND (at, artist, title) <= (SELECT at, artist, "
    "title FROM listens WHERE account_id = ?1 ORDER BY at, artist, title LIMIT 1 OFFSET ?2 - 1)";
constexpr char kChangedSql[] =
    "UPDATE accounts SET listen_count = ?2, history_version = history_version + 1 WHERE id = ?1";
constexpr const char* kClearSql[] = {
    "DELETE FROM listens WHERE account_id = (SELECT id FROM accounts WHERE name_key = ?1)",
    "DELETE FROM track_days WHERE account_id = (SELECT id FROM accounts WHERE name_key = ?1)",
    "DELETE FROM track_totals WHERE account_id = (SELECT id FROM accounts WHERE name_key = ?1)",
    "DELETE FROM artist_totals WHERE account_id = (SELECT id FROM accounts WHERE name_key = ?1)",
    "UPDATE accounts SET listen_count = 0, history_version = history_version + 1 "
    "WHERE name_key = ?1",
};

constexpr char kRecentSql[] =
    "SELECT at, artist, title, album, source FROM listens WHERE account_id = (SELECT id FROM "
    "accounts WHERE name_key = ?1) ORDER BY at DESC, artist DESC, title DESC LIMIT ?2";
// Charts, by the order in EChart: over the days from ?2 (summing plays by track and day), and
// over all time (?2 unused).
constexpr const char* kChartSql[] = {
    "SELECT artist, '', sum(plays) AS p, max(last_at) AS l FROM track_days WHERE account_id = "
    "(SELECT id FROM accounts WHERE name_key = ?1) AND day >= ?2 GROUP BY artist "
    "ORDER BY p DESC, l DESC, artist LIMIT ?3",
    "SELECT artist, title, sum(plays) AS p, max(last_at) AS l FROM track_days WHERE account_id = "
    "(SELECT id FROM accounts WHERE name_key = ?1) AND day >= ?2 GROUP BY artist, title "
    "ORDER BY p DESC, l DESC, artist, title LIMIT ?3",
};
constexpr const char* kAllTimeChartSql[] = {
    "SELECT artist, '', plays FROM artist_totals WHERE account_id = (SELECT id FROM accounts "
    "WHERE name_key = ?1) ORDER BY plays DESC, last_at DESC, artist LIMIT ?3",
    "SELECT artist, title, plays FROM track_totals WHERE account_id = (SELECT id FROM accounts "
    "WHERE name_key = ?1) ORDER BY plays DESC, last_at DESC, artist, title LIMIT ?3",
};

}  // namespace

CSqliteHistory::CSqliteHistory(sqlite3* writer) : m_db(writer) {
  try {
    m_stateStmt = SqlitePrepare(m_db, kStateSql);
    m_accountStmt = SqlitePrepare(m_db, kAccountSql);
    m_listenStmt = SqlitePrepare(m_db, kListenSql);
    m_dayStmt = SqlitePrepare(m_db, kDaySql);
    m_trackStmt = SqlitePrepare(m_db, kTrackSql);
    m_artistStmt = SqlitePrepare(m_db, kArtistSql);
    m_trimStmt = SqlitePrepare(m_db, kTrimSql);
    m_changedStmt = SqlitePrepare(m_db, kChangedSql);
  } catch (...) {
    Finalize();
    throw;
  }
}

CSqliteHistory::~CSqliteHistory() { Finalize(); }

void CSqliteHistory::Finalize() {
  for (sqlite3_stmt* stmt : {m_stateStmt, m_accountStmt, m_listenStmt, m_dayStmt, m_trackStmt,
                             m_artistStmt, m_trimStmt, m_changedStmt}) {
    sqlite3_finalize(stmt);
  }
}

int64_t CSqliteHistory::PassState(const std::string& nameKey, const CTrackState& next,
                                  std::vector<CListen>& ended) {
  BindText(m_stateStmt, 1, nameKey);
  int64_t listenAt = 0;
  CListen previous;
  const int rc = sqlite3_step(m_stateStmt);
  if (rc == SQLITE_ROW) {
    listenAt = sqlite3_column_int64(m_stateStmt, 0);
    previous.artist = ColumnText(m_stateStmt, 1);
    previous.title = ColumnText(m_stateStmt, 2);
    previous.album = ColumnText(m_stateStmt, 3);
  }
  sqlite3_reset(m_stateStmt);
  sqlite3_clear_bindings(m_stateStmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_db, "state"));
  const bool playing =
      next.playback == CTrackState::EPlayback::kPlaying && next.fromPlugin && next.trackAt > 0;
  const bool same = listenAt > 0 && next.artist == previous.artist && next.title == previous.title;
  const int64_t nextListenAt = !playing ? 0 : same ? listenAt : next.trackAt;
  const int64_t endedAt = std::max(next.trackAt, next.stoppedAt);
  if (listenAt > 0 && nextListenAt != listenAt && endedAt - listenAt >= kPluginListenSeconds &&
      !previous.artist.empty() && !previous.title.empty()) {
    previous.at = listenAt;
    previous.source = CListen::ESource::kPlugin;
    ended.push_back(std::move(previous));
  }
  return nextListenAt;
}

void CSqliteHistory::Add(const std::string& nameKey, const std::vector<CListen>& listens,
                         size_t limit) {
  BindText(m_accountStmt, 1, nameKey);
  const int rc = sqlite3_step(m_accountStmt);
  const bool keeps = rc == SQLITE_ROW && sqlite3_column_int(m_accountStmt, 1) != 0;
  const int64_t accountId = keeps ? sqlite3_column_int64(m_accountStmt, 0) : 0;
  int64_t held = keeps ? sqlite3_column_int64(m_accountStmt, 2) : 0;
  sqlite3_reset(m_accountStmt);
  sqlite3_clear_bindings(m_accountStmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_db, "history"));
  if (!keeps) return;
  int64_t added = 0;
  for (const CListen& listen : listens) added += KeepOne(accountId, listen) ? 1 : 0;
  if (added == 0) return;
  held += added;
  const int64_t excess = held - static_cast<int64_t>(limit);
  if (excess > 0) {
    Trim(accountId, excess);
    held -= sqlite3_changes(m_db);
  }
  sqlite3_bind_int64(m_changedStmt, 1, accountId);
  sqlite3_bind_int64(m_changedStmt, 2, held);
  RunOrThrow(m_db, m_changedStmt, "history version");
}

bool CSqliteHistory::KeepOne(int64_t accountId, const CListen& listen) {
  sqlite3_bind_int64(m_listenStmt, 1, accountId);
  sqlite3_bind_int64(m_listenStmt, 2, listen.at);
  BindText(m_listenStmt, 3, listen.artist);
  BindText(m_listenStmt, 4, listen.title);
  BindText(m_listenStmt, 5, listen.album);
  sqlite3_bind_int(m_listenStmt, 6, static_cast<int>(listen.source));
  RunOrThrow(m_db, m_listenStmt, "listen");
  if (sqlite3_changes(m_db) == 0) return false;  // kept before
  sqlite3_bind_int64(m_dayStmt, 1, accountId);
  sqlite3_bind_int64(m_dayStmt, 2, ListenDay(listen.at));
  BindText(m_dayStmt, 3, listen.artist);
  BindText(m_dayStmt, 4, listen.title);
  sqlite3_bind_int64(m_dayStmt, 5, listen.at);
  RunOrThrow(m_db, m_dayStmt, "count");
  sqlite3_bind_int64(m_trackStmt, 1, accountId);
  BindText(m_trackStmt, 2, listen.artist);
  BindText(m_trackStmt, 3, listen.title);
  sqlite3_bind_int64(m_trackStmt, 4, listen.at);
  RunOrThrow(m_db, m_trackStmt, "count");
  sqlite3_bind_int64(m_artistStmt, 1, accountId);
  BindText(m_artistStmt, 2, listen.artist);
  sqlite3_bind_int64(m_artistStmt, 3, listen.at);
  RunOrThrow(m_db, m_artistStmt, "count");
  return true;
}

void CSqliteHistory::Trim(int64_t accountId, int64_t excess) {
  sqlite3_bind_int64(m_trimStmt, 1, accountId);
  sqlite3_bind_int64(m_trimStmt, 2, excess);
  RunOrThrow(m_db, m_trimStmt, "trim history");
}

void CSqliteHistory::Clear(const std::string& nameKey) {
  for (const char* sql : kClearSql) {
    COneStatement clear(m_db, sql);
    BindText(clear.get(), 1, nameKey);
    clear.Step("clear history");
  }
}

std::vector<CListen> CSqliteHistoryReads::RecentListens(const std::string& nameKey, size_t count) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  COneStatement recent(m_reader.db, kRecentSql);
  BindText(recent.get(), 1, nameKey);
  sqlite3_bind_int64(recent.get(), 2, static_cast<int64_t>(count));
  std::vector<CListen> listens;
  while (recent.Step("recent listens") == SQLITE_ROW) {
    CListen listen;
    listen.at = sqlite3_column_int64(recent.get(), 0);
    listen.artist = ColumnText(recent.get(), 1);
    listen.title = ColumnText(recent.get(), 2);
    listen.album = ColumnText(recent.get(), 3);
    listen.source = static_cast<CListen::ESource>(sqlite3_column_int(recent.get(), 4));
    listens.push_back(std::move(listen));
  }
  return listens;
}

std::vector<CChartRow> CSqliteHistoryReads::Chart(const std::string& nameKey, EChart chart,
                                                  int64_t fromDay, size_t count) {
  std::lock_guard<std::mutex> lock(m_reader.mutex);
  const size_t which = chart == EChart::kArtists ? 0 : 1;
  COneStatement rows(m_reader.db, fromDay == 0 ? kAllTimeChartSql[which] : kChartSql[which]);
  BindText(rows.get(), 1, nameKey);
  sqlite3_bind_int64(rows.get(), 2, fromDay);
  sqlite3_bind_int64(rows.get(), 3, static_cast<int64_t>(count));
  std::vector<CChartRow> found;
  while (rows.Step("chart") == SQLITE_ROW) {
    CChartRow row;
    row.artist = ColumnText(rows.get(), 0);
    row.title = ColumnText(rows.get(), 1);
    row.plays = sqlite3_column_int64(rows.get(), 2);
    found.push_back(std::move(row));
  }
  return found;
}
