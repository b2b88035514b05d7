// The PostgreSQL store's sessions, shared secret and client limits, on the look-up connections.
#pragma once

#include "storage/postgres_readers.h"
#include "storage/store.h"

// Sessions live in the database, so that a sign-in holds on every instance.
class CPostgresSessions : public CSessionStore {
 public:
  explicit CPostgresSessions(CPostgresReaders& readers) : m_readers(readers) {}

  bool AddSession(const std::string& tokenHash, const std::string& nameKey,
                  const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) override;
  std::optional<std::string> FindSession(const std::string& tokenHash, int64_t nowMs,
                                         int64_t bornAfterMs, int64_t usedAfterMs) override;
  void EndSession(const std::string& tokenHash) override;
  size_t RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) override;
  std::string SharedSecret() override;

 private:
  CPostgresReaders& m_readers;  // outlives this
};

// Wrong attempts and ids used once live in the database, so that a limit holds across instances.
class CPostgresLimits : public CClientLimits {
 public:
  explicit CPostgresLimits(CPostgresReaders& readers) : m_readers(readers) {}

  std::vector<int64_t> AddFailedAttempt(const std::string& address, int64_t atMs,
                                        int64_t forgetBeforeMs) override;
  std::vector<int64_t> FailedAttempts(const std::string& address, int64_t sinceMs) override;
  bool UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) override;

 private:
  CPostgresReaders& m_readers;  // outlives this
};
