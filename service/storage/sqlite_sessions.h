// The SQLite store's sessions and shared secret, on the look-up connection.
#pragma once

#include "storage/sqlite_statements.h"
#include "storage/store.h"

// Each call takes the reader's lock; sessions are written in transactions of their own.
class CSqliteSessions : public CSessionStore {
 public:
  explicit CSqliteSessions(CSqliteReader& reader) : m_reader(reader) {}

  bool AddSession(const std::string& tokenHash, const std::string& nameKey,
                  const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) override;
  std::optional<std::string> FindSession(const std::string& tokenHash, int64_t nowMs,
                                         int64_t bornAfterMs, int64_t usedAfterMs) override;
  void EndSession(const std::string& tokenHash) override;
  size_t RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) override;
  std::string SharedSecret() override;

 private:
  CSqliteReader& m_reader;  // outlives this
};
