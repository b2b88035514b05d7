// The SQLite store's small tools: connections, prepared statements, bindings and columns.
#pragma once

#include <sqlite3.h>

#include <mutex>
#include <string>
#include <string_view>

// `what`, then SQLite's message for `db` (or "out of memory" without a connection).
std::string SqliteErrorText(sqlite3* db, const char* what);
// Opens `path` for reading and writing (creating it), waiting up to 5 s for another writer.
// Throws CStoreError.
sqlite3* OpenSqliteConnection(const std::string& path);
// Runs SQL text without parameters (one or several statements). Throws CStoreError.
void SqliteExec(sqlite3* db, const char* sql);
// A statement prepared to be kept; throws CStoreError.
sqlite3_stmt* SqlitePrepare(sqlite3* db, const char* sql);

inline void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Raw tag bytes, which need not be valid UTF-8.
inline void BindBlob(sqlite3_stmt* stmt, int index, std::string_view bytes) {
  sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

inline std::string ColumnBlob(sqlite3_stmt* stmt, int column) {
  const void* bytes = sqlite3_column_blob(stmt, column);
  return bytes ? std::string(static_cast<const char*>(bytes),
                             static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
               : std::string();
}

inline std::string ColumnText(sqlite3_stmt* stmt, int column) {
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
  COneStatement(sqlite3* db, const char* sql) : m_db(db), m_stmt(SqlitePrepare(db, sql)) {}
  ~COneStatement() { sqlite3_finalize(m_stmt); }
  COneStatement(const COneStatement&) = delete;
  COneStatement& operator=(const COneStatement&) = delete;
  sqlite3_stmt* get() const { return m_stmt; }
  // One step: SQLITE_ROW or SQLITE_DONE; throws CStoreError naming `what` on anything else.
  int Step(const char* what);

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt;
};

// Runs a bound statement to its end and clears it for the next use; the SQLite result code.
int RunStatement(sqlite3_stmt* stmt);
// RunStatement, throwing CStoreError naming `what` unless the statement ran to its end.
void RunOrThrow(sqlite3* db, sqlite3_stmt* stmt, const char* what);

// The look-up connection, shared by the network threads: each use holds `mutex`.
struct CSqliteReader {
  // Opens `path`; throws CStoreError.
  explicit CSqliteReader(const std::string& file) : path(file), db(OpenSqliteConnection(file)) {}
  ~CSqliteReader() { sqlite3_close(db); }
  CSqliteReader(const CSqliteReader&) = delete;
  CSqliteReader& operator=(const CSqliteReader&) = delete;

  const std::string path;
  sqlite3* const db;
  std::mutex mutex;
};
