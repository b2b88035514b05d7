// The SQLite store's tables and their upgrades, counted by the file's PRAGMA user_version.
#include "storage/sqlite_schema.h"

#include <iterator>
#include <string>

#include "storage/sqlite_statements.h"
#include "storage/store.h"

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
    // History: whether the account keeps it (off for accounts made before), a number for each of
    // its changes, the plug-in's track and the start of its listen in progress (0: none), the
    // listens kept and their number; plays by day and track, and over all time by track and by
    // artist, which charts read without scanning the listens.
    "ALTER TABLE accounts ADD COLUMN keep_history INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN history_version INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN from_plugin INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN listen_at INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN listen_count INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE listens (account_id INTEGER NOT NULL, at INTEGER NOT NULL, "
    "  artist TEXT NOT NULL, title TEXT NOT NULL, album TEXT NOT NULL, source INTEGER NOT NULL, "
    "  PRIMARY KEY (account_id, at, artist, title)) WITHOUT ROWID;"
    "CREATE TABLE track_days (account_id INTEGER NOT NULL, day INTEGER NOT NULL, "
    "  artist TEXT NOT NULL, title TEXT NOT NULL, plays INTEGER NOT NULL, last_at INTEGER NOT "
    "NULL, "
    "  PRIMARY KEY (account_id, day, artist, title)) WITHOUT ROWID;"
    "CREATE TABLE track_totals (account_id INTEGER NOT NULL, artist TEXT NOT NULL, "
    "  title TEXT NOT NULL, plays INTEGER NOT NULL, last_at INTEGER NOT NULL, "
    "  PRIMARY KEY (account_id, artist, title)) WITHOUT ROWID;"
    "CREATE INDEX track_totals_by_plays ON track_totals (account_id, plays DESC, last_at DESC);"
    "CREATE TABLE artist_totals (account_id INTEGER NOT NULL, artist TEXT NOT NULL, "
    "  plays INTEGER NOT NULL, last_at INTEGER NOT NULL, PRIMARY KEY (account_id, artist)) "
    "  WITHOUT ROWID;"
    "CREATE INDEX artist_totals_by_plays ON artist_totals (account_id, plays DESC, last_at DESC);",
};

}  // namespace

void CreateOrUpgradeSqlite(sqlite3* db) {
  SqliteExec(db, "BEGIN IMMEDIATE");
  try {
    SqliteExec(db, kSchema);
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
    for (int i = applied; i < known; ++i) SqliteExec(db, kUpgrades[i]);
    SqliteExec(db, ("PRAGMA user_version = " + std::to_string(known)).c_str());
    SqliteExec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}
