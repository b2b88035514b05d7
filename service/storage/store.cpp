// The storage interface's shared part: errors, names, secrets, the local client limits, and the
// choice of implementation by the database's name.
#include "storage/store.h"

#include <sodium.h>

#include <array>

#include "base/metrics.h"

#include "storage/postgres_store.h"
#include "storage/sqlite_store.h"

namespace {

// Registered at start, so that they show from the first scrape on.
CCounter& storeErrors =
    Metrics().Counter("velk_store_errors_total", "Database operations that failed").Get();

}  // namespace

CStoreError::CStoreError(const std::string& what, bool itemFault)
    : std::runtime_error(what), m_itemFault(itemFault) {
  storeErrors.Add();
}

std::string NameKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

std::string NewSecret() {
  std::array<unsigned char, 32> bytes;
  randombytes_buf(bytes.data(), bytes.size());
  std::string hex(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
  hex.pop_back();
  return hex;
}

bool IsPostgresUri(std::string_view db) {
  auto startsWith = [&](std::string_view prefix) { return db.substr(0, prefix.size()) == prefix; };
  // A key=value connection string names at least one of these.
  return startsWith("postgresql://") || startsWith("postgres://") ||
         db.find("dbname=") != std::string_view::npos ||
         db.find("host=") != std::string_view::npos ||
         db.find("service=") != std::string_view::npos;
}

std::unique_ptr<CStore> OpenStore(const std::string& db) {
  if (IsPostgresUri(db)) return std::make_unique<CPostgresStore>(db);
  return std::make_unique<CSqliteStore>(db);
}

bool CLocalLimits::UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) {
  std::lock_guard<std::mutex> lock(m_usedMutex);
  for (auto it = m_used.begin(); it != m_used.end();) {
    it = it->second < nowMs ? m_used.erase(it) : std::next(it);
  }
  return m_used.emplace(id, expiresMs).second;
}
