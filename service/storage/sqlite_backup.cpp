// A consistent copy of a live SQLite data file, made with SQLite's online backup API.
#include "storage/sqlite_backup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "storage/store.h"

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kBusyRetries = 100;  // of the whole copy, 100 ms apart

struct CCloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using CDb = std::unique_ptr<sqlite3, CCloseDb>;

CDb Open(const std::string& path, int flags, const char* what) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  CDb owned(db);
  if (rc != SQLITE_OK) {
    throw CStoreError(std::string("cannot open ") + what + " " + path + ": " +
                      (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return owned;
}

void Exec(sqlite3* db, const char* sql, const std::string& path) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw CStoreError(path + ": " + message);
  }
}

// The first row of PRAGMA integrity_check: "ok" for a sound file.
std::string IntegrityOf(sqlite3* db, const std::string& path) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check(1)", -1, &stmt, nullptr) != SQLITE_OK) {
    throw CStoreError(path + ": " + sqlite3_errmsg(db));
  }
  std::string result = "no answer";
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    result = text ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_finalize(stmt);
  return result;
}

// Copies every page of `from` into `to` in one step, so the copy is one snapshot; a writer of
// the source holding a lock it needs is waited for.
void CopyPages(sqlite3* from, sqlite3* to, const std::string& source, const std::string& partial) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (!backup) throw CStoreError(partial + ": " + sqlite3_errmsg(to));
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt < kBusyRetries; ++attempt) {
    rc = sqlite3_backup_step(backup, -1);
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
    sqlite3_sleep(100);
  }
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) {
    const std::string why = sqlite3_errcode(to) != SQLITE_OK ? partial + ": " + sqlite3_errmsg(to)
                                                             : source + ": " + sqlite3_errstr(rc);
    throw CStoreError("the copy failed: " + why);
  }
}

// Makes the rename of a file in `directory` durable.
void SyncDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// Gives the write-ahead log and shared-memory files that reading `source` created (those not in
// `existed`) to the owner of `source`: run as root on a service's file, they must stay files the
// service may open, or it could not start again.
void KeepOwner(const std::string& source, const std::vector<std::string>& created) {
  struct stat owner;
  if (::geteuid() != 0 || ::stat(source.c_str(), &owner) != 0) return;
  for (const std::string& path : created) {
    if (Exists(path) && ::chown(path.c_str(), owner.st_uid, owner.st_gid) == 0) {
      ::chmod(path.c_str(), owner.st_mode & 0666);
    }
  }
}

}  // namespace

long long BackupSqlite(const std::string& source, const std::string& destination) {
  const std::string partial = destination + ".partial";
  std::vector<std::string> created;
  for (const char* suffix : {"-wal", "-shm"}) {
    if (!Exists(source + suffix)) created.push_back(source + suffix);
  }
  CDb from = Open(source, SQLITE_OPEN_READONLY, "the data file");
  // A file that is not a database fails here rather than in the middle of the copy.
  Exec(from.get(), "SELECT count(*) FROM sqlite_schema", source);
  KeepOwner(source, created);
  std::remove(partial.c_str());
  try {
    CDb to = Open(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "the copy");
    CopyPages(from.get(), to.get(), source, partial);
    // The copy stands alone: no write-ahead log, every page synced before it takes its name.
    Exec(to.get(), "PRAGMA journal_mode = DELETE", partial);
    const std::string integrity = IntegrityOf(to.get(), partial);
    if (integrity != "ok") throw CStoreError("the copy failed its integrity check: " + integrity);
  } catch (const CStoreError&) {
    std::remove(partial.c_str());
    throw;
  }
  const int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  if (std::rename(partial.c_str(), destination.c_str()) != 0) {
    std::remove(partial.c_str());
    throw CStoreError("cannot name the copy " + destination);
  }
  SyncDirectory(destination);
  struct stat info;
  return ::stat(destination.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}
