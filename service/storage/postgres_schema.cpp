// The PostgreSQL store's tables, triggers and upgrades, and the SQL of every statement it runs.
#include "storage/postgres_schema.h"

#include <libpq-fe.h>

#include <iterator>
#include <string>

#include "storage/postgres_history.h"
#include "storage/postgres_rows.h"
#include "storage/store.h"

namespace {

// The versioned schema: kUpgrades[i] takes the database from version i to i + 1.
const char* const kUpgrades[] = {
    R"(
CREATE TABLE accounts (
  name_key      TEXT PRIMARY KEY,
  name          TEXT NOT NULL,
  key_hash      TEXT NOT NULL,
  code_page     INTEGER NOT NULL,
  created_at    BIGINT NOT NULL,
  playback      INTEGER NOT NULL DEFAULT 0,
  artist        TEXT NOT NULL DEFAULT '',
  title         TEXT NOT NULL DEFAULT '',
  album         TEXT NOT NULL DEFAULT '',
  year          TEXT NOT NULL DEFAULT '',
  genre         TEXT NOT NULL DEFAULT '',
  track_at      BIGINT NOT NULL DEFAULT 0,
  stopped_at    BIGINT NOT NULL DEFAULT 0,
  version       BIGINT NOT NULL DEFAULT 0,
  changed_at    BIGINT NOT NULL DEFAULT 0,
  applied_at_ms BIGINT NOT NULL DEFAULT 0
);
CREATE TABLE kept_reports (
  name_key   TEXT PRIMARY KEY,
  stopped    BOOLEAN NOT NULL,
  artist     BYTEA NOT NULL,
  title      BYTEA NOT NULL,
  album      BYTEA NOT NULL,
  year       BYTEA NOT NULL,
  genre      BYTEA NOT NULL,
  arrived_at BIGINT NOT NULL,
  due_at_ms  BIGINT NOT NULL
);
CREATE TABLE failed_key_checks (
  name_key TEXT NOT NULL,
  at_ms    BIGINT NOT NULL
);
CREATE INDEX failed_key_checks_by_account ON failed_key_checks (name_key, at_ms);
)",
    R"(
CREATE TABLE account_settings (
  name_key   TEXT PRIMARY KEY,
  layout     TEXT NOT NULL,
  theme      TEXT NOT NULL,
  accent     INTEGER NOT NULL,
  show_album BOOLEAN NOT NULL,
  show_year  BOOLEAN NOT NULL,
  show_genre BOOLEAN NOT NULL
);
)",
    // Account identities and key versions for sessions, which live here now; sequence numbers
    // for kept reports, so that the newest one wins whatever its due time; the shared secret.
    R"(
CREATE SEQUENCE account_ids;
ALTER TABLE accounts ADD COLUMN id BIGINT NOT NULL DEFAULT nextval('account_ids');
ALTER TABLE accounts ADD COLUMN key_version BIGINT NOT NULL DEFAULT 1;
CREATE UNIQUE INDEX accounts_by_id ON accounts (id);
CREATE SEQUENCE kept_report_seqs;
ALTER TABLE kept_reports ADD COLUMN seq BIGINT NOT NULL DEFAULT nextval('kept_report_seqs');
CREATE TABLE sessions (
  token_hash  TEXT PRIMARY KEY,
  account_id  BIGINT NOT NULL,
  key_version BIGINT NOT NULL,
  created_ms  BIGINT NOT NULL,
  used_ms     BIGINT NOT NULL
);
CREATE INDEX sessions_by_account ON sessions (account_id, created_ms);
CREATE TABLE service_secrets (
  name   TEXT PRIMARY KEY,
  secret TEXT NOT NULL
);
)",
    // Other players: the player token, the end of a track whose length they told, UTF-8 reports.
    R"(
ALTER TABLE accounts ADD COLUMN ends_at BIGINT NOT NULL DEFAULT 0;
ALTER TABLE accounts ADD COLUMN token_hash TEXT UNIQUE;
ALTER TABLE accounts ADD COLUMN token_md5 TEXT;
ALTER TABLE kept_reports ADD COLUMN source INTEGER NOT NULL DEFAULT 0;
ALTER TABLE kept_reports ADD COLUMN started_at BIGINT NOT NULL DEFAULT 0;
ALTER TABLE kept_reports ADD COLUMN duration_s BIGINT NOT NULL DEFAULT 0;
)",
    // Every change of an account, by any program, gets a new version (and a change of what its
    // image shows a later changed_at) and is sent to every instance on the channel velk_changes
    // in the same transaction: "SEQ NAME VERSION", or "SEQ NAME -" for a deletion. SEQ counts
    // the transactions that change accounts, in commit order (the counter's row lock orders
    // them), so that a listener sees when it missed one. The notices are sent as the transaction
    // commits (a deferred trigger): the counter's row is locked after every account's, and only
    // until the commit.
    R"(
INSERT INTO service_meta (name, value) VALUES ('change_seq', 0) ON CONFLICT (name) DO NOTHING;
CREATE OR REPLACE FUNCTION velk_account_versioned() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.version = OLD.version AND NEW IS DISTINCT FROM OLD THEN
    NEW.version := OLD.version + 1;
    IF (NEW.name, NEW.code_page, NEW.playback, NEW.artist, NEW.title, NEW.album, NEW.year,
        NEW.genre, NEW.track_at, NEW.stopped_at, NEW.ends_at) IS DISTINCT FROM
       (OLD.name, OLD.code_page, OLD.playback, OLD.artist, OLD.title, OLD.album, OLD.year,
        OLD.genre, OLD.track_at, OLD.stopped_at, OLD.ends_at) THEN
      NEW.changed_at := GREATEST(extract(epoch FROM clock_timestamp())::bigint,
                                 OLD.changed_at + 1);
    END IF;
  END IF;
  RETURN NEW;
END $$;
CREATE OR REPLACE TRIGGER accounts_versioned BEFORE UPDATE ON accounts
  FOR EACH ROW WHEN (NEW.version = OLD.version) EXECUTE FUNCTION velk_account_versioned();
CREATE OR REPLACE FUNCTION velk_account_changed() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  seq TEXT := current_setting('velk.change_seq', true);
BEGIN
  IF TG_OP = 'UPDATE' AND NEW IS NOT DISTINCT FROM OLD THEN
    RETURN NULL;
  END IF;
  IF seq IS NULL OR seq = '' THEN
    UPDATE service_meta SET value = value + 1 WHERE name = 'change_seq'
      RETURNING value::text INTO seq;
    PERFORM set_config('velk.change_seq', seq, true);
  END IF;
  IF TG_OP = 'DELETE' THEN
    PERFORM pg_notify('velk_changes', seq || ' ' || OLD.name_key || ' -');
  ELSE
    PERFORM pg_notify('velk_changes', seq || ' ' || NEW.name_key || ' ' || NEW.version);
  END IF;
  RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS accounts_changed ON accounts;
CREATE CONSTRAINT TRIGGER accounts_changed AFTER INSERT OR UPDATE OR DELETE ON accounts
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION velk_account_changed();
CREATE OR REPLACE FUNCTION velk_settings_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  UPDATE accounts SET version = version + 1,
    changed_at = GREATEST(extract(epoch FROM clock_timestamp())::bigint, changed_at + 1)
    WHERE name_key = CASE TG_OP WHEN 'DELETE' THEN OLD.name_key ELSE NEW.name_key END;
  RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER account_settings_changed
  AFTER INSERT OR UPDATE OR DELETE ON account_settings
  FOR EACH ROW EXECUTE FUNCTION velk_settings_changed();
)",
    // Limits of wrong keys and tokens by client address; the wrong-key marker, which the image
    // shows, with the account (so its change is seen by every instance); results of forms shown
    // once.
    R"(
DROP TABLE IF EXISTS failed_key_checks;
CREATE TABLE IF NOT EXISTS failed_attempts (
  address TEXT NOT NULL,
  at_ms   BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS failed_attempts_by_address ON failed_attempts (address, at_ms);
CREATE INDEX IF NOT EXISTS failed_attempts_by_time ON failed_attempts (at_ms);
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS wrong_key BOOLEAN NOT NULL DEFAULT false;
CREATE OR REPLACE FUNCTION velk_account_versioned() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.version = OLD.version AND NEW IS DISTINCT FROM OLD THEN
    NEW.version := OLD.version + 1;
    IF (NEW.name, NEW.code_page, NEW.playback, NEW.artist, NEW.title, NEW.album, NEW.year,
        NEW.genre, NEW.track_at, NEW.stopped_at, NEW.ends_at, NEW.wrong_key) IS DISTINCT FROM
       (OLD.name, OLD.code_page, OLD.playback, OLD.artist, OLD.title, OLD.album, OLD.year,
        OLD.genre, OLD.track_at, OLD.stopped_at, OLD.ends_at, OLD.wrong_key) THEN
      NEW.changed_at := GREATEST(extract(epoch FROM clock_timestamp())::bigint,
                                 OLD.changed_at + 1);
    END IF;
  END IF;
  RETURN NEW;
END $$;
CREATE TABLE IF NOT EXISTS used_once (
  id         TEXT PRIMARY KEY,
  expires_ms BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS used_once_by_expiry ON used_once (expires_ms);
)",
    kPostgresHistoryUpgrade,
};

// Any number, the same in every instance: it serializes upgrades of one database.
constexpr char kUpgradeLockSql[] = "SELECT pg_advisory_xact_lock(7317001)";

// A report's change of the account `a`, from the report `d` (name_key, stopped, artist, title,
// album, year, genre, track_at, arrived_at, now_ms, ends_at, from_plugin), and what it answers of
// the account. A stop keeps the last track and the first stop's time. The plug-in's listen in
// progress goes on while the same artist and title play from it (see the history's trigger).
#define VELK_APPLY_FROM_D                                                               \
  "UPDATE accounts AS a SET playback = CASE WHEN d.stopped THEN 2 ELSE 1 END, "         \
  "artist = CASE WHEN d.stopped THEN a.artist ELSE d.artist END, "                      \
  "title = CASE WHEN d.stopped THEN a.title ELSE d.title END, "                         \
  "album = CASE WHEN d.stopped THEN a.album ELSE d.album END, "                         \
  "year = CASE WHEN d.stopped THEN a.year ELSE d.year END, "                            \
  "genre = CASE WHEN d.stopped THEN a.genre ELSE d.genre END, "                         \
  "track_at = CASE WHEN d.stopped THEN a.track_at ELSE d.track_at END, "                \
  "stopped_at = CASE WHEN NOT d.stopped THEN 0 WHEN a.playback = 2 THEN a.stopped_at "  \
  "ELSE d.arrived_at END, ends_at = CASE WHEN d.stopped THEN 0 ELSE d.ends_at END, "    \
  "version = a.version + 1, changed_at = GREATEST(d.now_ms / 1000, a.changed_at + 1), " \
  "applied_at_ms = d.now_ms, "                                                          \
  "from_plugin = CASE WHEN d.stopped THEN a.from_plugin ELSE d.from_plugin END, "       \
  "listen_at = CASE WHEN d.stopped OR NOT d.from_plugin THEN 0 WHEN a.listen_at > 0 "   \
  "AND a.artist = d.artist AND a.title = d.title THEN a.listen_at ELSE d.track_at END " \
  "FROM d WHERE a.name_key = d.name_key"
#define VELK_APPLIED                                                                    \
  "RETURNING a.version, a.changed_at, a.playback, a.artist, a.title, a.album, a.year, " \
  "a.genre, a.track_at, a.stopped_at, a.ends_at, a.name_key, a.from_plugin"
// Prepared on every connection.
constexpr CPreparedStatement kStatements[] = {
    {"find",
     "SELECT name, key_hash, code_page, created_at, playback, artist, title, album, year, genre, "
     "track_at, stopped_at, version, changed_at, applied_at_ms, s.layout, s.theme, s.accent, "
     "s.show_album, s.show_year, s.show_genre, id, key_version, ends_at, "
     "coalesce(token_hash, ''), coalesce(token_md5, ''), wrong_key, keep_history, "
     "history_version, from_plugin FROM accounts LEFT JOIN account_settings AS s USING (name_key) "
     "WHERE name_key = $1"},
    {"mark_wrong_key",
     "UPDATE accounts SET wrong_key = true WHERE name_key = $1 AND playback = 0 AND NOT wrong_key"},
    {"find_token", "SELECT name FROM accounts WHERE token_hash = $1"},
    {"token", "UPDATE accounts SET token_hash = $2, token_md5 = $3 WHERE name_key = $1"},
    {"insert",
     "INSERT INTO accounts (name_key, name, key_hash, code_page, created_at, changed_at, "
     "keep_history) VALUES ($1, $2, $3, $4, $5, $5, $6) ON CONFLICT (name_key) DO NOTHING"},
    {"update",
     "UPDATE accounts SET playback = $2, artist = $3, title = $4, album = $5, year = $6, "
     "genre = $7, track_at = $8, stopped_at = $9, version = version + 1, "
     "changed_at = GREATEST($10::bigint / 1000, changed_at + 1), applied_at_ms = $10, "
     "ends_at = $11, from_plugin = $12::boolean, listen_at = CASE WHEN $2::integer = 1 AND "
     "$12::boolean THEN CASE WHEN listen_at > 0 AND artist = $3 AND title = $4 THEN listen_at "
     "ELSE $8::bigint END ELSE 0 END WHERE name_key = $1"},
    {"keep",
     "INSERT INTO kept_reports (name_key, stopped, artist, title, album, year, genre, arrived_at, "
     "due_at_ms, source, started_at, duration_s) "
     "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12) ON CONFLICT (name_key) DO UPDATE "
     "SET stopped = EXCLUDED.stopped, artist = EXCLUDED.artist, title = EXCLUDED.title, "
     "album = EXCLUDED.album, year = EXCLUDED.year, genre = EXCLUDED.genre, "
     "arrived_at = EXCLUDED.arrived_at, due_at_ms = EXCLUDED.due_at_ms, "
     "source = EXCLUDED.source, started_at = EXCLUDED.started_at, "
     "duration_s = EXCLUDED.duration_s, seq = nextval('kept_report_seqs') RETURNING seq"},
    // The account's row, locked until the transaction ends, with the time of the last report
    // applied and whether a report is kept. Every transaction locks an account's row before its
    // kept report and sessions, so that two cannot wait for each other.
    {"lock",
     "SELECT applied_at_ms, EXISTS (SELECT 1 FROM kept_reports AS k WHERE k.name_key = "
     "a.name_key) FROM accounts AS a WHERE name_key = $1 FOR UPDATE OF a"},
    // Reports, one per account, whose accounts' rows this transaction holds locked: the arrays
    // $1-$21 give each report's account, whether it is a stop, its tags in UTF-8, track_at,
    // arrival (Unix s), the time of the write and the interval (Unix ms), the told end of the
    // track, its raw tags as bytea, source, start and duration, and whether the plug-in sent it. A
    // report is kept when it comes within the interval of the last one applied (replacing any
    // report kept before), else applied (and any kept report is dropped: it will never be shown).
    // Answers a row per report of an existing account: its position in the arrays, whether it was
    // kept, the kept report's number and due time, or the account as the report left it.
    {"reports",
     "WITH r AS (SELECT * FROM unnest($1::text[], $2::boolean[], $3::text[], $4::text[], "
     "$5::text[], $6::text[], $7::text[], $8::bigint[], $9::bigint[], $10::bigint[], "
     "$11::bigint[], $12::bigint[], $13::bytea[], $14::bytea[], $15::bytea[], $16::bytea[], "
     "$17::bytea[], $18::integer[], $19::bigint[], $20::bigint[], $21::boolean[]) WITH ORDINALITY "
     "AS r(name_key, stopped, artist, title, album, year, genre, track_at, arrived_at, now_ms, "
     "interval_ms, ends_at, raw_artist, raw_title, raw_album, raw_year, raw_genre, source, "
     "started_at, duration_s, from_plugin, n)), "
     "decided AS (SELECT r.*, a.applied_at_ms > 0 AND r.now_ms - a.applied_at_ms < r.interval_ms "
     "AS keep, a.applied_at_ms + r.interval_ms AS due_at_ms FROM r JOIN accounts AS a "
     "USING (name_key)), "
     "kept AS (INSERT INTO kept_reports (name_key, stopped, artist, title, album, year, genre, "
     "arrived_at, due_at_ms, source, started_at, duration_s) SELECT name_key, stopped, "
     "raw_artist, raw_title, raw_album, raw_year, raw_genre, arrived_at, due_at_ms, source, "
     "started_at, duration_s FROM decided WHERE keep "
     "ON CONFLICT (name_key) DO UPDATE SET stopped = EXCLUDED.stopped, "
     "artist = EXCLUDED.artist, title = EXCLUDED.title, album = EXCLUDED.album, "
     "year = EXCLUDED.year, genre = EXCLUDED.genre, arrived_at = EXCLUDED.arrived_at, "
     "due_at_ms = EXCLUDED.due_at_ms, source = EXCLUDED.source, "
     "started_at = EXCLUDED.started_at, duration_s = EXCLUDED.duration_s, "
     "seq = nextval('kept_report_seqs') RETURNING name_key, seq, due_at_ms), "
     "unkept AS (DELETE FROM kept_reports WHERE name_key = ANY(ARRAY(SELECT name_key FROM "
     "decided WHERE NOT keep))), "
     "d AS (SELECT * FROM decided WHERE NOT keep), "
     "applied AS (" VELK_APPLY_FROM_D " " VELK_APPLIED ") "
     "SELECT decided.n, decided.keep, kept.seq, kept.due_at_ms, applied.* FROM decided "
     "LEFT JOIN kept USING (name_key) LEFT JOIN applied USING (name_key)"},
    // The accounts' rows ($1, an array), locked in the order of their names until the
    // transaction ends: reports of one account are decided one after the other, whichever
    // instance took them, and each statement after this one sees what the others committed.
    {"lock_all",
     "SELECT 1 FROM accounts WHERE name_key = ANY($1::text[]) ORDER BY name_key COLLATE \"C\" "
     "FOR UPDATE"},
    // The fallback for reports of other players' listens, which the writer decides step by step.
    {"claim_seq", "DELETE FROM kept_reports WHERE name_key = $1 AND seq = $2"},
    // Another player's finished listen ($2-$8: tags, its start and end; $9 now): shown as the last
    // played track unless what the account shows began after it, or it is the track playing now
    // and came more than $11 s before that track's told end ($10: the grace after that end).
    {"apply_listen",
     "UPDATE accounts SET playback = 2, artist = $2, title = $3, album = $4, year = $5, "
     "genre = $6, track_at = $7, stopped_at = $8, ends_at = 0, from_plugin = false, "
     "listen_at = 0, version = version + 1, "
     "changed_at = GREATEST($9::bigint / 1000, changed_at + 1), applied_at_ms = $9 "
     "WHERE name_key = $1 AND NOT CASE WHEN playback = 1 AND artist = $2 AND title = $3 "
     "THEN ends_at > 0 AND ends_at - $10::bigint > $9::bigint / 1000 + $11::bigint "
     "ELSE playback <> 0 AND track_at > $7 END"},
    // The kept report of number $11 applied, if it is still kept (the claim removes it).
    {"claim_report",
     "WITH claimed AS (DELETE FROM kept_reports WHERE name_key = $1 AND seq = $11 RETURNING 1), "
     "d AS (SELECT $1::text AS name_key, $2::boolean AS stopped, $3::text AS artist, "
     "$4::text AS title, $5::text AS album, $6::text AS year, $7::text AS genre, "
     "$8::bigint AS track_at, $9::bigint AS arrived_at, $10::bigint AS now_ms, "
     "$12::bigint AS ends_at, $13::boolean AS from_plugin WHERE EXISTS (SELECT FROM claimed)), "
     "applied AS (" VELK_APPLY_FROM_D " " VELK_APPLIED
     ") SELECT false, NULL, NULL, applied.* FROM (SELECT) AS one LEFT JOIN applied ON true"},
    {"unkeep", "DELETE FROM kept_reports WHERE name_key = $1"},
    {"settings",
     "INSERT INTO account_settings (name_key, layout, theme, accent, show_album, show_year, "
     "show_genre) VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (name_key) DO UPDATE SET "
     "layout = EXCLUDED.layout, theme = EXCLUDED.theme, accent = EXCLUDED.accent, "
     "show_album = EXCLUDED.show_album, show_year = EXCLUDED.show_year, "
     "show_genre = EXCLUDED.show_genre"},
    {"account",
     "UPDATE accounts SET key_hash = coalesce(NULLIF($2, ''), key_hash), "
     "key_version = key_version + CASE WHEN $2 = '' THEN 0 ELSE 1 END, "
     "code_page = coalesce(NULLIF($3, '')::integer, code_page) WHERE name_key = $1"},
    // After a new key: the session that made it follows the new key version, the others end.
    {"keep_session",
     "UPDATE sessions SET key_version = a.key_version FROM accounts AS a "
     "WHERE a.name_key = $1 AND sessions.account_id = a.id AND sessions.token_hash = $2"},
    {"end_old_sessions",
     "DELETE FROM sessions USING accounts AS a WHERE a.name_key = $1 AND "
     "sessions.account_id = a.id AND sessions.key_version <> a.key_version"},
    {"end_account_sessions",
     "DELETE FROM sessions USING accounts AS a WHERE a.name_key = $1 AND "
     "sessions.account_id = a.id"},
    {"add_session",
     "INSERT INTO sessions (token_hash, account_id, key_version, created_ms, used_ms) "
     "SELECT $1, id, key_version, $4, $4 FROM accounts WHERE name_key = $2 AND key_hash = $3 "
     "RETURNING account_id"},
    {"trim_sessions",
     "DELETE FROM sessions WHERE account_id = $1 AND token_hash NOT IN (SELECT token_hash FROM "
     "sessions WHERE account_id = $1 ORDER BY created_ms DESC, token_hash LIMIT $2)"},
    {"find_session",
     "SELECT a.name_key, s.used_ms FROM sessions AS s JOIN accounts AS a ON a.id = s.account_id "
     "AND a.key_version = s.key_version WHERE s.token_hash = $1 AND s.created_ms > $2 AND "
     "s.used_ms > $3"},
    {"use_session", "UPDATE sessions SET used_ms = $2 WHERE token_hash = $1"},
    {"end_session", "DELETE FROM sessions WHERE token_hash = $1"},
    {"stale_sessions",
     "DELETE FROM sessions AS s WHERE s.created_ms < $1 OR s.used_ms < $2 OR NOT EXISTS "
     "(SELECT 1 FROM accounts AS a WHERE a.id = s.account_id AND a.key_version = s.key_version)"},
    {"add_secret",
     "INSERT INTO service_secrets (name, secret) VALUES ('forms', $1) ON CONFLICT DO NOTHING"},
    {"secret", "SELECT secret FROM service_secrets WHERE name = 'forms'"},
    // Settings first: their trigger touches the account.
    {"remove_settings", "DELETE FROM account_settings WHERE name_key = $1"},
    {"remove", "DELETE FROM accounts WHERE name_key = $1"},
    {"kept",
     "SELECT name_key, stopped, artist, title, album, year, genre, arrived_at, due_at_ms, seq, "
     "source, started_at, duration_s FROM kept_reports"},
    {"add_attempt", "INSERT INTO failed_attempts (address, at_ms) VALUES ($1, $2)"},
    {"forget_attempts", "DELETE FROM failed_attempts WHERE at_ms < $1"},
    {"attempts",
     "SELECT at_ms FROM failed_attempts WHERE address = $1 AND at_ms >= $2 ORDER BY at_ms"},
    {"use_once",
     "WITH gone AS (DELETE FROM used_once WHERE expires_ms < $2) "
     "INSERT INTO used_once (id, expires_ms) VALUES ($1, $3) ON CONFLICT (id) DO NOTHING"},
    {"probe",
     "INSERT INTO service_meta (name, value) VALUES ('write_check', "
     "extract(epoch FROM now())::bigint) ON CONFLICT (name) DO UPDATE SET value = EXCLUDED.value"},
};

}  // namespace

const std::vector<CPreparedStatement>& PostgresStatements() {
  static const std::vector<CPreparedStatement> statements = [] {
    std::vector<CPreparedStatement> all(std::begin(kStatements), std::end(kStatements));
    for (const CPreparedStatement& statement : PostgresHistoryStatements())
      all.push_back(statement);
    return all;
  }();
  return statements;
}

void UpgradePostgresSchema(CPostgresConnection& writer) {
  writer.Exec("BEGIN");
  try {
    writer.Exec(kUpgradeLockSql);
    writer.Exec(
        "CREATE TABLE IF NOT EXISTS service_meta (name TEXT PRIMARY KEY, value BIGINT NOT NULL)");
    auto found = writer.Run("SELECT value FROM service_meta WHERE name = 'schema_version'", {});
    const int64_t applied = PQntuples(found.get()) == 1 ? pgrows::Number(found.get(), 0, 0) : 0;
    const int64_t known = static_cast<int64_t>(std::size(kUpgrades));
    if (applied > known) {
      throw CStoreError("the database has schema version " + std::to_string(applied) +
                        ", newer than this velk-service knows (" + std::to_string(known) + ")");
    }
    for (int64_t i = applied; i < known; ++i) writer.Exec(kUpgrades[i]);
    writer.Run(
        "INSERT INTO service_meta (name, value) VALUES ('schema_version', $1) "
        "ON CONFLICT (name) DO UPDATE SET value = EXCLUDED.value",
        {std::to_string(known)});
    writer.Exec("COMMIT");
  } catch (...) {
    try {
      writer.Exec("ROLLBACK");
    } catch (const CStoreError&) {
    }
    throw;
  }
}
