// The store in a PostgreSQL database: its schema and upgrades, the connections that reconnect,
// look-ups and the writer's transactions.
#include "storage/postgres_store.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

constexpr int64_t kReconnectPauseMs = 500;
// The server's own bound on one statement, lock waits included.
constexpr int64_t kStatementTimeoutMs = 5000;
// Look-up connections: enough that the threads doing database work seldom wait for one another.
constexpr size_t kReaders = 8;
// How long a look-up, and a statement of the writer's transaction, may wait for its answer before
// its connection is given up as hung.
constexpr int64_t kReaderAnswerMs = 3000;
constexpr int64_t kWriterAnswerMs = 8000;

// The versioned schema: kUpgrades[i] takes the database from version i to i + 1.
constexpr const char* kUpgrades[] = {
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
};

// Any number, the same in every instance: it serializes upgrades of one database.
constexpr char kUpgradeLockSql[] = "SELECT pg_advisory_xact_lock(7317001)";

// A report's change of the account `a`, from the report `d` (name_key, stopped, artist, title,
// album, year, genre, track_at, arrived_at, now_ms, ends_at), and what it answers of the account.
// A stop keeps the last track and the first stop's time.
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
  "applied_at_ms = d.now_ms FROM d WHERE a.name_key = d.name_key"
#define VELK_APPLIED                                                                    \
  "RETURNING a.version, a.changed_at, a.playback, a.artist, a.title, a.album, a.year, " \
  "a.genre, a.track_at, a.stopped_at, a.ends_at, a.name_key"

struct CStatement {
  const char* name;
  const char* sql;
};

// Prepared on every connection.
constexpr CStatement kStatements[] = {
    {"find",
     "SELECT name, key_hash, code_page, created_at, playback, artist, title, album, year, genre, "
     "track_at, stopped_at, version, changed_at, applied_at_ms, s.layout, s.theme, s.accent, "
     "s.show_album, s.show_year, s.show_genre, id, key_version, ends_at, "
     "coalesce(token_hash, ''), coalesce(token_md5, ''), wrong_key "
     "FROM accounts LEFT JOIN account_settings AS s USING (name_key) WHERE name_key = $1"},
    {"mark_wrong_key",
     "UPDATE accounts SET wrong_key = true WHERE name_key = $1 AND playback = 0 AND NOT wrong_key"},
    {"find_token", "SELECT name FROM accounts WHERE token_hash = $1"},
    {"token", "UPDATE accounts SET token_hash = $2, token_md5 = $3 WHERE name_key = $1"},
    {"insert",
     "INSERT INTO accounts (name_key, name, key_hash, code_page, created_at, changed_at) "
     "VALUES ($1, $2, $3, $4, $5, $5) ON CONFLICT (name_key) DO NOTHING"},
    {"update",
     "UPDATE accounts SET playback = $2, artist = $3, title = $4, album = $5, year = $6, "
     "genre = $7, track_at = $8, stopped_at = $9, version = version + 1, "
     "changed_at = GREATEST($10::bigint / 1000, changed_at + 1), applied_at_ms = $10, "
     "ends_at = $11 WHERE name_key = $1"},
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
    // $1-$20 give each report's account, whether it is a stop, its tags in UTF-8, track_at,
    // arrival (Unix s), the time of the write and the interval (Unix ms), the told end of the
    // track, its raw tags as bytea, source, start and duration. A report is kept when it comes
    // within the interval of the last one applied (replacing any report kept before), else
    // applied (and any kept report is dropped: it will never be shown). Answers a row per report
    // of an existing account: its position in the arrays, whether it was kept, the kept report's
    // number and due time, or the account as the report left it.
    {"reports",
     "WITH r AS (SELECT * FROM unnest($1::text[], $2::boolean[], $3::text[], $4::text[], "
     "$5::text[], $6::text[], $7::text[], $8::bigint[], $9::bigint[], $10::bigint[], "
     "$11::bigint[], $12::bigint[], $13::bytea[], $14::bytea[], $15::bytea[], $16::bytea[], "
     "$17::bytea[], $18::integer[], $19::bigint[], $20::bigint[]) WITH ORDINALITY AS r(name_key, "
     "stopped, artist, title, album, year, genre, track_at, arrived_at, now_ms, interval_ms, "
     "ends_at, raw_artist, raw_title, raw_album, raw_year, raw_genre, source, started_at, "
     "duration_s, n)), "
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
     "genre = $6, track_at = $7, stopped_at = $8, ends_at = 0, version = version + 1, "
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
     "$12::bigint AS ends_at WHERE EXISTS (SELECT FROM claimed)), "
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

bool IsPrepared(std::string_view name) {
  for (const CStatement& statement : kStatements) {
    if (name == statement.name) return true;
  }
  return false;
}

// Statements sent in pipeline mode before their answers are taken: few enough that neither side's
// socket buffer fills while the other waits.
constexpr size_t kPipelineDepth = 256;

// The parameters of one statement as libpq takes them; `params` must outlive it.
struct CParams {
  CParams(const std::vector<std::string>& params, const std::vector<bool>& binary) {
    for (size_t i = 0; i < params.size(); ++i) {
      values.push_back(params[i].data());
      lengths.push_back(static_cast<int>(params[i].size()));
      formats.push_back(i < binary.size() && binary[i] ? 1 : 0);
    }
  }
  int Count() const { return static_cast<int>(values.size()); }
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
};

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Text(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<size_t>(PQgetlength(result, row, column)));
}

int64_t Number(const PGresult* result, int row, int column) {
  return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

// A bytea column in text form ("\x..."), as its bytes.
std::string Bytes(const PGresult* result, int row, int column) {
  size_t length = 0;
  unsigned char* bytes = PQunescapeBytea(
      reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, column)), &length);
  if (!bytes) throw CStoreError("out of memory");
  std::string out(reinterpret_cast<const char*>(bytes), length);
  PQfreemem(bytes);
  return out;
}

// The parameters for the five tags of `tags` (a CTrackState or a CKeptReport).
template <typename TTags>
void AddTags(std::vector<std::string>& params, const TTags& tags) {
  for (const std::string* tag : {&tags.artist, &tags.title, &tags.album, &tags.year, &tags.genre})
    params.push_back(*tag);
}

// The parameters of the "keep" statement for `kept`, due at `dueAtMs`; its tags go as binary
// bytea (kKeepBinary), since they are raw bytes in the account's code page.
std::vector<std::string> KeepParams(const std::string& nameKey, const CKeptReport& kept,
                                    int64_t dueAtMs) {
  std::vector<std::string> params = {nameKey, kept.stopped ? "t" : "f"};
  AddTags(params, kept);
  params.push_back(std::to_string(kept.arrivedAt));
  params.push_back(std::to_string(dueAtMs));
  params.push_back(std::to_string(static_cast<int>(kept.source)));
  params.push_back(std::to_string(kept.startedAt));
  params.push_back(std::to_string(kept.durationS));
  return params;
}
const std::vector<bool> kKeepBinary = {false, false, true, true, true, true, true};

CTrackState::EPlayback PlaybackOf(int64_t value) {
  return value == 1   ? CTrackState::EPlayback::kPlaying
         : value == 2 ? CTrackState::EPlayback::kStopped
                      : CTrackState::EPlayback::kNone;
}

// The answer of "claim_report" (from column 0), or a row of "reports" (from column 1), as a
// report's outcome.
void TakeOutcome(const PGresult* rows, int row, int first, CReportOutcome& outcome) {
  auto column = [first](int i) { return first + i; };
  if (!PQgetisnull(rows, row, column(1))) {
    outcome.result = CReportOutcome::EResult::kKept;
    outcome.seq = Number(rows, row, column(1));
    outcome.dueAtMs = Number(rows, row, column(2));
    return;
  }
  if (PQgetisnull(rows, row, column(3))) return;  // no such account, or the claim was lost
  outcome.result = CReportOutcome::EResult::kApplied;
  outcome.version = Number(rows, row, column(3));
  outcome.changedAt = Number(rows, row, column(4));
  CTrackState& state = outcome.state;
  state.playback = PlaybackOf(Number(rows, row, column(5)));
  state.artist = Text(rows, row, column(6));
  state.title = Text(rows, row, column(7));
  state.album = Text(rows, row, column(8));
  state.year = Text(rows, row, column(9));
  state.genre = Text(rows, row, column(10));
  state.trackAt = Number(rows, row, column(11));
  state.stoppedAt = Number(rows, row, column(12));
  state.endsAt = Number(rows, row, column(13));
}

// An array parameter in PostgreSQL's text form: every element quoted, so that any text (commas,
// braces, quotes, backslashes, blanks, "NULL") arrives as it is.
class CArrayParam {
 public:
  void Add(std::string_view element) {
    m_text += m_text.empty() ? "{\"" : ",\"";
    for (char c : element) {
      if (c == '"' || c == '\\') m_text += '\\';
      m_text += c;
    }
    m_text += '"';
  }
  void Add(int64_t number) { Add(std::to_string(number)); }
  // Bytes as a bytea element ("\x" and hex digits).
  void AddBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex = "\\x";
    for (unsigned char c : bytes) {
      hex += kHex[c >> 4];
      hex += kHex[c & 15];
    }
    Add(hex);
  }
  std::string Take() { return m_text.empty() ? "{}" : m_text + "}"; }

 private:
  std::string m_text;
};

// The parameters of the "reports" statement for `reports`, one per account, as arrays.
std::vector<std::string> ReportsParams(const std::vector<const CReportWrite*>& reports,
                                       const std::vector<const std::string*>& nameKeys) {
  std::vector<CArrayParam> columns(20);
  for (size_t i = 0; i < reports.size(); ++i) {
    const CReportWrite& report = *reports[i];
    const CKeptReport& kept = report.kept;
    size_t c = 0;
    columns[c++].Add(*nameKeys[i]);
    columns[c++].Add(report.stopped ? "t" : "f");
    for (const std::string* tag : {&report.track.artist, &report.track.title, &report.track.album,
                                   &report.track.year, &report.track.genre})
      columns[c++].Add(*tag);
    for (int64_t number : {report.track.trackAt, kept.arrivedAt, report.nowMs, report.intervalMs,
                           report.track.endsAt})
      columns[c++].Add(number);
    for (const std::string* tag : {&kept.artist, &kept.title, &kept.album, &kept.year, &kept.genre})
      columns[c++].AddBytes(*tag);
    for (int64_t number : {static_cast<int64_t>(kept.source), kept.startedAt, kept.durationS})
      columns[c++].Add(number);
  }
  std::vector<std::string> params;
  for (CArrayParam& column : columns) params.push_back(column.Take());
  return params;
}

}  // namespace

void CPostgresConnection::CResultDeleter::operator()(pg_result* result) const { PQclear(result); }

CPostgresConnection::CPostgresConnection(std::string conninfo, int64_t answerWithinMs,
                                         CConnectGate* gate)
    : m_conninfo(std::move(conninfo)), m_answerWithinMs(answerWithinMs), m_gate(gate) {}

CPostgresConnection::~CPostgresConnection() { Drop(); }

void CPostgresConnection::Reset() {
  Drop();
  m_nextAttemptMs = 0;
}

void CPostgresConnection::Drop() {
  if (m_conn) PQfinish(m_conn);
  m_conn = nullptr;
  m_pending.clear();
  m_failure.clear();
}

void CPostgresConnection::Lose(int64_t retryAtMs) {
  Drop();
  m_lost = true;
  m_nextAttemptMs = retryAtMs;
}

void CPostgresConnection::Connect() {
  const int64_t now = SteadyMs();
  if (now < m_nextAttemptMs || (m_gate && !m_gate->Enter()))
    throw CStoreError("the database is unreachable; trying again soon");
  m_nextAttemptMs = now + kReconnectPauseMs;
  // A server that does not answer holds up a connection attempt 2 s at most; over TCP, a peer
  // that went away is noticed within about 10 s even while nothing is sent (keepalives) or while
  // sent data stays unacknowledged (user timeout). The connection string may say otherwise: it
  // is read after these defaults.
  const char* const keywords[] = {
      "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
      "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
  const char* const values[] = {"2", "1", "5", "2", "3", "10000", m_conninfo.c_str(), nullptr};
  m_conn = PQconnectdbParams(keywords, values, 1);
  const bool connected = m_conn && PQstatus(m_conn) == CONNECTION_OK;
  if (m_gate) m_gate->Done(connected);
  if (!connected) {
    const std::string message = m_conn ? PQerrorMessage(m_conn) : "out of memory";
    Lose(m_nextAttemptMs);
    throw CStoreError("cannot connect to the database: " + message);
  }
  // UTF-8 text, no notices ("already exists, skipping") on standard error, and no statement
  // that runs (or waits for a lock) longer than the server-side bound. Every statement finds its
  // rows by key (or by an array of keys), which one plan serves whatever the values: planned once
  // per connection rather than on every run, which otherwise costs more than running it.
  Exec(("SET client_encoding = 'UTF8'; SET client_min_messages = warning; "
        "SET plan_cache_mode = force_generic_plan; SET statement_timeout = " +
        std::to_string(kStatementTimeoutMs))
           .c_str());
  for (const CStatement& statement : kStatements) {
    if (!PQsendPrepare(m_conn, statement.name, statement.sql, 0, nullptr)) break;
    // Before the first upgrade the tables are missing: those statements are prepared later.
    if (PQresultStatus(Await().get()) != PGRES_COMMAND_OK) break;
  }
}

CPostgresConnection::Result CPostgresConnection::Await() {
  const int64_t deadline = SteadyMs() + m_answerWithinMs;
  Result first;  // the first failure, else the last result
  for (;;) {
    Result next = Next(deadline);
    if (!next) break;
    const ExecStatusType status = PQresultStatus(next.get());
    const bool failed = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
    if (!first || (failed && !Failed(first.get()))) first = std::move(next);
    if (PQstatus(m_conn) != CONNECTION_OK) break;
  }
  return first;
}

namespace {

// Whether the server refused `result`'s statement for a value it was given (a data exception, a
// broken constraint, a value beyond a limit) rather than for the state of the database.
bool RefusedValue(const pg_result* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (!state) return false;
  const std::string_view category(state, std::min<size_t>(2, std::strlen(state)));
  return category == "22" || category == "23" || category == "54";
}

}  // namespace

bool CPostgresConnection::Failed(const pg_result* result) {
  const ExecStatusType status = PQresultStatus(result);
  return status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
}

CPostgresConnection::Result CPostgresConnection::Finish(bool sent) {
  Result result = sent ? Await() : Result();
  if (result && !Failed(result.get())) return result;
  const std::string message = result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_conn);
  const bool refusedValue = result && RefusedValue(result.get());
  if (PQstatus(m_conn) != CONNECTION_OK) Lose(0);  // the first attempt after a loss goes at once
  throw CStoreError(std::string("database: ") + message, refusedValue);
}

bool CPostgresConnection::SendQuery(const char* name, const std::vector<std::string>& params,
                                    const std::vector<bool>& binary) {
  const CParams p(params, binary);
  return IsPrepared(name) ? PQsendQueryPrepared(m_conn, name, p.Count(), p.values.data(),
                                                p.lengths.data(), p.formats.data(), 0) != 0
                          : PQsendQueryParams(m_conn, name, p.Count(), nullptr, p.values.data(),
                                              p.lengths.data(), p.formats.data(), 0) != 0;
}

CPostgresConnection::Result CPostgresConnection::Run(const char* name,
                                                     const std::vector<std::string>& params,
                                                     const std::vector<bool>& binary) {
  m_lost = false;
  if (!m_conn) Connect();
  return Finish(SendQuery(name, params, binary));
}

void CPostgresConnection::Fail(const std::string& message) {
  if (m_conn && PQstatus(m_conn) != CONNECTION_OK) {
    Lose(0);  // the first attempt after a loss goes at once
  } else if (m_conn && PQpipelineStatus(m_conn) != PQ_PIPELINE_OFF) {
    // The server rolls back what the connection left open.
    Drop();
    m_nextAttemptMs = 0;
  }
  m_pending.clear();
  throw CStoreError(std::string("database: ") + message);
}

void CPostgresConnection::Send(const char* name, const std::vector<std::string>& params,
                               const std::vector<bool>& binary, OnResult onResult) {
  if (m_pending.empty() && (!m_conn || PQpipelineStatus(m_conn) == PQ_PIPELINE_OFF)) {
    m_lost = false;
    m_failure.clear();
    if (!m_conn) Connect();
    if (!PQenterPipelineMode(m_conn)) Fail(PQerrorMessage(m_conn));
  }
  if (!SendQuery(name, params, binary)) Fail(PQerrorMessage(m_conn));
  m_pending.push_back(std::move(onResult));
  if (m_pending.size() >= kPipelineDepth) TakeAnswers();
}

void CPostgresConnection::Sync() {
  if (!m_conn) Fail("no connection");
  // Nothing was sent since the last sync (statements run one by one since then took their own
  // answers): there is nothing to wait for.
  if (PQpipelineStatus(m_conn) == PQ_PIPELINE_OFF) return;
  TakeAnswers();
  if (!PQexitPipelineMode(m_conn)) Fail(PQerrorMessage(m_conn));
  if (!m_failure.empty()) {
    const std::string failure = std::move(m_failure);
    m_failure.clear();
    throw CStoreError(failure, m_failureIsItem);
  }
}

CPostgresConnection::Result CPostgresConnection::Next(int64_t deadline) {
  while (PQisBusy(m_conn)) {
    const int64_t left = deadline - SteadyMs();
    pollfd wait = {PQsocket(m_conn), POLLIN, 0};
    const int ready = left > 0 ? poll(&wait, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      // The server did not answer in time: it hangs, or the network does. The connection is
      // given up (an open transaction ends with it) and the next use connects again.
      Lose(SteadyMs() + kReconnectPauseMs);
      m_pending.clear();
      throw CStoreError("database: no answer within " + std::to_string(m_answerWithinMs) + " ms");
    }
    if (!PQconsumeInput(m_conn)) break;
  }
  return Result(PQgetResult(m_conn));
}

void CPostgresConnection::TakeAnswers() {
  std::vector<OnResult> pending;
  pending.swap(m_pending);
  if (!PQpipelineSync(m_conn)) Fail(PQerrorMessage(m_conn));
  const int64_t deadline = SteadyMs() + m_answerWithinMs;
  for (OnResult& onResult : pending) {
    Result result = Next(deadline);
    if (!result) Fail(PQerrorMessage(m_conn));  // the connection broke
    const ExecStatusType status = PQresultStatus(result.get());
    if (!Failed(result.get())) {
      if (onResult) onResult(result.get());
    } else if (status != PGRES_PIPELINE_ABORTED && m_failure.empty()) {
      // The statements after it up to the sync are skipped, and their answers say only that.
      m_failure = std::string("database: ") + PQresultErrorMessage(result.get());
      m_failureIsItem = RefusedValue(result.get());
    }
    // Each statement's answers end with a null result.
    while (Next(deadline)) {
    }
    if (PQstatus(m_conn) != CONNECTION_OK) Fail(PQerrorMessage(m_conn));
  }
  Result synced = Next(deadline);
  if (!synced || PQresultStatus(synced.get()) != PGRES_PIPELINE_SYNC) Fail(PQerrorMessage(m_conn));
}

void CPostgresConnection::Exec(const char* sql) {
  m_lost = false;
  if (!m_conn) Connect();
  Finish(PQsendQuery(m_conn, sql) != 0);
}

CPostgresStore::CPostgresStore(const std::string& conninfo)
    : m_conninfo(conninfo), m_writer(conninfo, kWriterAnswerMs, &m_gate) {
  for (size_t i = 0; i < kReaders; ++i)
    m_readers.push_back(std::make_unique<CReader>(conninfo, kReaderAnswerMs, &m_gate));
  m_writer.Exec("BEGIN");
  try {
    m_writer.Exec(kUpgradeLockSql);
    m_writer.Exec(
        "CREATE TABLE IF NOT EXISTS service_meta (name TEXT PRIMARY KEY, value BIGINT NOT NULL)");
    auto found = m_writer.Run("SELECT value FROM service_meta WHERE name = 'schema_version'", {});
    const int64_t applied = PQntuples(found.get()) == 1 ? Number(found.get(), 0, 0) : 0;
    const int64_t known = static_cast<int64_t>(std::size(kUpgrades));
    if (applied > known) {
      throw CStoreError("the database has schema version " + std::to_string(applied) +
                        ", newer than this velk-service knows (" + std::to_string(known) + ")");
    }
    for (int64_t i = applied; i < known; ++i) m_writer.Exec(kUpgrades[i]);
    m_writer.Run(
        "INSERT INTO service_meta (name, value) VALUES ('schema_version', $1) "
        "ON CONFLICT (name) DO UPDATE SET value = EXCLUDED.value",
        {std::to_string(known)});
    m_writer.Exec("COMMIT");
  } catch (...) {
    try {
      m_writer.Exec("ROLLBACK");
    } catch (const CStoreError&) {
    }
    throw;
  }
  // Connect again, so that every statement is prepared against the tables that now exist.
  m_writer.Reset();
  StartWriter();
}

CPostgresStore::~CPostgresStore() { StopWriter(); }

CPostgresConnection& CPostgresStore::Reader(std::unique_lock<std::mutex>& lock) {
  // A free one if there is one, else the next in turn.
  const size_t start = m_nextReader.fetch_add(1, std::memory_order_relaxed);
  for (size_t i = 0; i < m_readers.size(); ++i) {
    CReader& reader = *m_readers[(start + i) % m_readers.size()];
    lock = std::unique_lock<std::mutex>(reader.mutex, std::try_to_lock);
    if (lock.owns_lock()) return reader.connection;
  }
  CReader& reader = *m_readers[start % m_readers.size()];
  lock = std::unique_lock<std::mutex>(reader.mutex);
  return reader.connection;
}

CPostgresConnection::Result CPostgresStore::Read(CPostgresConnection& reader, const char* name,
                                                 const std::vector<std::string>& params) {
  try {
    return reader.Run(name, params);
  } catch (const CStoreError&) {
    // A connection the server dropped (a restart) is noticed only on use: try a new one at once.
    if (!reader.LostConnection()) throw;
    return reader.Run(name, params);
  }
}

void CPostgresStore::CheckWritable() {
  try {
    m_writer.Run("probe", {});
  } catch (const CStoreError& error) {
    throw CStoreError(std::string("the database cannot be written (") + error.what() +
                      "); velk-service needs a database it may write");
  }
}

std::optional<CAccountRecord> CPostgresStore::FindAccount(std::string_view name) {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "find", {NameKey(name)});
  const PGresult* row = result.get();
  if (PQntuples(row) != 1) return std::nullopt;
  CAccountRecord record;
  record.name = Text(row, 0, 0);
  record.keyHash = Text(row, 0, 1);
  record.codePage = static_cast<int>(Number(row, 0, 2));
  record.createdAt = Number(row, 0, 3);
  record.state.playback = PlaybackOf(Number(row, 0, 4));
  record.state.artist = Text(row, 0, 5);
  record.state.title = Text(row, 0, 6);
  record.state.album = Text(row, 0, 7);
  record.state.year = Text(row, 0, 8);
  record.state.genre = Text(row, 0, 9);
  record.state.trackAt = Number(row, 0, 10);
  record.state.stoppedAt = Number(row, 0, 11);
  record.version = Number(row, 0, 12);
  record.changedAt = Number(row, 0, 13);
  record.appliedAtMs = Number(row, 0, 14);
  if (!PQgetisnull(row, 0, 15)) {
    record.settings.layout = Text(row, 0, 15);
    record.settings.theme = Text(row, 0, 16);
    record.settings.accent = static_cast<int32_t>(Number(row, 0, 17));
    record.settings.showAlbum = Text(row, 0, 18) == "t";
    record.settings.showYear = Text(row, 0, 19) == "t";
    record.settings.showGenre = Text(row, 0, 20) == "t";
  }
  record.id = Number(row, 0, 21);
  record.keyVersion = Number(row, 0, 22);
  record.state.endsAt = Number(row, 0, 23);
  record.tokenHash = Text(row, 0, 24);
  record.tokenMd5 = Text(row, 0, 25);
  record.wrongKey = Text(row, 0, 26) == "t";
  return record;
}

std::optional<std::string> CPostgresStore::FindNameByToken(std::string_view tokenHash) {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "find_token", {std::string(tokenHash)});
  if (PQntuples(result.get()) != 1) return std::nullopt;
  return Text(result.get(), 0, 0);
}

std::vector<std::pair<std::string, CKeptReport>> CPostgresStore::KeptReports() {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "kept", {});
  const PGresult* rows = result.get();
  std::vector<std::pair<std::string, CKeptReport>> kept;
  for (int i = 0; i < PQntuples(rows); ++i) {
    CKeptReport report;
    report.stopped = Text(rows, i, 1) == "t";
    report.artist = Bytes(rows, i, 2);
    report.title = Bytes(rows, i, 3);
    report.album = Bytes(rows, i, 4);
    report.year = Bytes(rows, i, 5);
    report.genre = Bytes(rows, i, 6);
    report.arrivedAt = Number(rows, i, 7);
    report.dueAtMs = Number(rows, i, 8);
    report.seq = Number(rows, i, 9);
    report.source = static_cast<CKeptReport::ESource>(Number(rows, i, 10));
    report.startedAt = Number(rows, i, 11);
    report.durationS = Number(rows, i, 12);
    kept.emplace_back(Text(rows, i, 0), std::move(report));
  }
  return kept;
}

std::vector<int64_t> CPostgresStore::AddFailedAttempt(const std::string& address, int64_t atMs,
                                                      int64_t forgetBeforeMs) {
  {
    std::unique_lock<std::mutex> lock;
    CPostgresConnection& reader = Reader(lock);
    Read(reader, "forget_attempts", {std::to_string(forgetBeforeMs)});
    reader.Run("add_attempt", {address, std::to_string(atMs)});
  }
  return FailedAttempts(address, forgetBeforeMs);
}

bool CPostgresStore::UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) {
  std::unique_lock<std::mutex> lock;
  auto used =
      Read(Reader(lock), "use_once", {id, std::to_string(nowMs), std::to_string(expiresMs)});
  return std::string_view(PQcmdTuples(used.get())) == "1";
}

std::vector<int64_t> CPostgresStore::FailedAttempts(const std::string& address, int64_t sinceMs) {
  std::unique_lock<std::mutex> lock;
  auto result = Read(Reader(lock), "attempts", {address, std::to_string(sinceMs)});
  std::vector<int64_t> times;
  for (int i = 0; i < PQntuples(result.get()); ++i) times.push_back(Number(result.get(), i, 0));
  return times;
}

void CPostgresStore::Commit(const std::vector<CCreation>& creations,
                            const std::map<std::string, CAccountWrite>& writes,
                            std::vector<CQueuedReport>& reports,
                            std::vector<ECreateResult>& results) {
  // The whole transaction goes in one pipeline: its statements cost one round trip (and one more
  // per kPipelineDepth statements), not one each.
  try {
    m_writer.Send("BEGIN", {});
  } catch (const CStoreError&) {
    // Nothing was sent yet: after a lost connection, one more try on a new one is safe.
    if (!m_writer.LostConnection()) throw;
    m_writer.Send("BEGIN", {});
  }
  try {
    // Every account that the batch writes or reports to is locked first, in the order of its
    // name, in every instance: two batches that lock the same rows cannot wait for each other.
    // Then writes (a name that one of them frees may be taken by a creation in the same batch),
    // then reports.
    if (!reports.empty()) {
      std::set<std::string> locked;
      for (const auto& [nameKey, write] : writes) locked.insert(nameKey);
      for (const CQueuedReport& report : reports) locked.insert(report.nameKey);
      CArrayParam names;
      for (const std::string& nameKey : locked) names.Add(nameKey);
      m_writer.Send("lock_all", {names.Take()});
    }
    for (const auto& [nameKey, write] : writes) ApplyWrite(nameKey, write);
    SendReports(reports);
    for (size_t i = 0; i < creations.size(); ++i) {
      const CAccountRecord& record = creations[i].record;
      m_writer.Send("insert",
                    {NameKey(record.name), record.name, record.keyHash,
                     std::to_string(record.codePage), std::to_string(record.createdAt)},
                    {}, [&results, i](const PGresult* inserted) {
                      const char* count = PQcmdTuples(const_cast<PGresult*>(inserted));
                      results[i] = std::string_view(count) == "1" ? ECreateResult::kCreated
                                                                  : ECreateResult::kDuplicate;
                    });
    }
    m_writer.Send("COMMIT", {});
    m_writer.Sync();
  } catch (const CStoreError&) {
    try {
      // A connection dropped on the failure rolled back by itself.
      if (!m_writer.LostConnection()) m_writer.Exec("ROLLBACK");
    } catch (const CStoreError&) {
    }
    throw;
  }
}

CChangeFeed* CPostgresStore::Changes() {
  std::call_once(m_feedMade,
                 [this] { m_feed = std::make_unique<CPostgresChangeFeed>(m_conninfo, m_gate); });
  return m_feed.get();
}

void CPostgresStore::ApplyWrite(const std::string& nameKey, const CAccountWrite& write) {
  if (write.state) {
    const CTrackState& state = *write.state;
    std::vector<std::string> params = {nameKey, std::to_string(static_cast<int>(state.playback))};
    AddTags(params, state);
    params.push_back(std::to_string(state.trackAt));
    params.push_back(std::to_string(state.stoppedAt));
    params.push_back(std::to_string(write.nowMs));
    params.push_back(std::to_string(state.endsAt));
    m_writer.Send("update", params);
  }
  if (write.keptAction == CAccountWrite::EKept::kSet) {
    m_writer.Send("keep", KeepParams(nameKey, write.kept, write.kept.dueAtMs), kKeepBinary);
  } else if (write.keptAction == CAccountWrite::EKept::kClear) {
    m_writer.Send("unkeep", {nameKey});
  }
  ApplyAccountChange(nameKey, write);
}

void CPostgresStore::ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write) {
  // The database's triggers give the account a new version and, when what its image shows
  // changed, a later changed_at.
  if (write.settings || write.keyHash || write.codePage || write.remove)
    m_writer.Send("lock", {nameKey});
  if (write.settings) {
    const CAccountSettings& settings = *write.settings;
    m_writer.Send("settings", {nameKey, settings.layout, settings.theme,
                               std::to_string(settings.accent), settings.showAlbum ? "t" : "f",
                               settings.showYear ? "t" : "f", settings.showGenre ? "t" : "f"});
  }
  if (write.keyHash || write.codePage) {
    // An empty text stands for "no change" here: neither a key hash nor a code page is empty.
    m_writer.Send("account", {nameKey, write.keyHash ? *write.keyHash : std::string(),
                              write.codePage ? std::to_string(*write.codePage) : std::string()});
  }
  if (write.keyHash) {
    if (!write.keepSession.empty()) m_writer.Send("keep_session", {nameKey, write.keepSession});
    m_writer.Send("end_old_sessions", {nameKey});
  }
  if (write.playerToken) {
    m_writer.Send("token", {nameKey, write.playerToken->first, write.playerToken->second});
  }
  if (write.markWrongKey) m_writer.Send("mark_wrong_key", {nameKey});
  if (!write.remove) return;
  for (const char* statement : {"end_account_sessions", "remove_settings", "remove", "unkeep"}) {
    m_writer.Send(statement, {nameKey});
  }
}

void CPostgresStore::SendReports(std::vector<CQueuedReport>& reports) {
  // In rounds: the n-th report of every account in round n, so that an account's reports are
  // decided in the order they came. A round's reports of this service's own plug-in go in one
  // statement; claims and other players' listens one by one.
  std::map<std::string_view, size_t> taken;  // reports of each account sent so far
  std::vector<std::vector<CQueuedReport*>> rounds;
  for (CQueuedReport& report : reports) {
    const size_t round = taken[report.nameKey]++;
    if (rounds.size() <= round) rounds.resize(round + 1);
    rounds[round].push_back(&report);
  }
  for (const std::vector<CQueuedReport*>& round : rounds) {
    std::vector<CQueuedReport*> together;
    std::vector<const CReportWrite*> writes;
    std::vector<const std::string*> nameKeys;
    for (CQueuedReport* report : round) {
      report->outcome = CReportOutcome();
      if (report->report.claimSeq != 0 ||
          report->report.kept.source == CKeptReport::ESource::kListen)
        continue;
      together.push_back(report);
      writes.push_back(&report->report);
      nameKeys.push_back(&report->nameKey);
    }
    if (!together.empty()) {
      m_writer.Send("reports", ReportsParams(writes, nameKeys), {},
                    [together](const PGresult* rows) {
                      for (int row = 0; row < PQntuples(rows); ++row) {
                        const int64_t n = Number(rows, row, 0);  // from 1
                        if (n < 1 || static_cast<size_t>(n) > together.size()) continue;
                        TakeOutcome(rows, row, 1, together[static_cast<size_t>(n) - 1]->outcome);
                      }
                    });
    }
    for (CQueuedReport* report : round) {
      if (report->report.kept.source == CKeptReport::ESource::kListen) {
        // Whether another player's listen shows depends on what the account shows: decided step
        // by step, after the answers to what was sent before.
        m_writer.Sync();
        report->outcome = ApplyListen(report->nameKey, report->report);
      } else if (report->report.claimSeq != 0) {
        SendClaim(report->nameKey, report->report, report->outcome);
      }
    }
  }
}

void CPostgresStore::SendClaim(const std::string& nameKey, const CReportWrite& report,
                               CReportOutcome& outcome) {
  std::vector<std::string> params = {nameKey, report.stopped ? "t" : "f"};
  AddTags(params, report.track);
  params.push_back(std::to_string(report.track.trackAt));
  params.push_back(std::to_string(report.kept.arrivedAt));
  params.push_back(std::to_string(report.nowMs));
  params.push_back(std::to_string(report.claimSeq));
  params.push_back(std::to_string(report.track.endsAt));
  m_writer.Send("claim_report", params, {}, [&outcome](const PGresult* rows) {
    if (PQntuples(rows) == 1) TakeOutcome(rows, 0, 0, outcome);
  });
}

CReportOutcome CPostgresStore::ApplyListen(const std::string& nameKey, const CReportWrite& report) {
  CReportOutcome outcome;
  const std::string now = std::to_string(report.nowMs);
  auto locked = m_writer.Run("lock", {nameKey});
  if (PQntuples(locked.get()) != 1) return outcome;
  if (report.claimSeq != 0) {
    auto claimed = m_writer.Run("claim_seq", {nameKey, std::to_string(report.claimSeq)});
    if (std::string_view(PQcmdTuples(claimed.get())) == "0") return outcome;  // applied elsewhere
  } else {
    const int64_t appliedAtMs = Number(locked.get(), 0, 0);
    if (appliedAtMs > 0 && report.nowMs - appliedAtMs < report.intervalMs) {
      outcome.dueAtMs = appliedAtMs + report.intervalMs;
      auto kepts =
          m_writer.Run("keep", KeepParams(nameKey, report.kept, outcome.dueAtMs), kKeepBinary);
      outcome.seq = Number(kepts.get(), 0, 0);
      outcome.result = CReportOutcome::EResult::kKept;
      return outcome;
    }
    // Newer than any report kept: that one will never be shown.
    if (Text(locked.get(), 0, 1) == "t") m_writer.Run("unkeep", {nameKey});
  }
  std::vector<std::string> params = {nameKey};
  AddTags(params, report.track);
  params.push_back(std::to_string(report.track.trackAt));
  params.push_back(std::to_string(report.track.stoppedAt));
  params.push_back(now);
  params.push_back(std::to_string(kListenGraceSeconds));
  params.push_back(std::to_string(kListenBeforeEndSeconds));
  m_writer.Run("apply_listen", params);
  outcome.result = CReportOutcome::EResult::kApplied;
  return outcome;
}

bool CPostgresStore::AddSession(const std::string& tokenHash, const std::string& nameKey,
                                const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = Reader(lock);
  auto added = Read(reader, "add_session", {tokenHash, nameKey, keyHash, std::to_string(nowMs)});
  if (PQntuples(added.get()) != 1) return false;
  reader.Run("trim_sessions", {Text(added.get(), 0, 0), std::to_string(maxPerAccount)});
  return true;
}

std::optional<std::string> CPostgresStore::FindSession(const std::string& tokenHash, int64_t nowMs,
                                                       int64_t bornAfterMs, int64_t usedAfterMs) {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = Reader(lock);
  auto found = Read(reader, "find_session",
                    {tokenHash, std::to_string(bornAfterMs), std::to_string(usedAfterMs)});
  if (PQntuples(found.get()) != 1) return std::nullopt;
  if (nowMs - Number(found.get(), 0, 1) > kSessionUseStepMs)
    reader.Run("use_session", {tokenHash, std::to_string(nowMs)});
  return Text(found.get(), 0, 0);
}

void CPostgresStore::EndSession(const std::string& tokenHash) {
  std::unique_lock<std::mutex> lock;
  Read(Reader(lock), "end_session", {tokenHash});
}

size_t CPostgresStore::RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) {
  std::unique_lock<std::mutex> lock;
  auto removed = Read(Reader(lock), "stale_sessions",
                      {std::to_string(bornBeforeMs), std::to_string(usedBeforeMs)});
  return static_cast<size_t>(std::strtoull(PQcmdTuples(removed.get()), nullptr, 10));
}

std::string CPostgresStore::SharedSecret() {
  std::unique_lock<std::mutex> lock;
  CPostgresConnection& reader = Reader(lock);
  // The first instance to ask makes it; the others find it.
  Read(reader, "add_secret", {NewSecret()});
  auto found = reader.Run("secret", {});
  if (PQntuples(found.get()) != 1) throw CStoreError("database: no shared secret");
  return Text(found.get(), 0, 0);
}
