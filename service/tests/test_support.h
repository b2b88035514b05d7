// Helpers of the service's unit tests: a settable clock, a scratch folder, synchronous writes.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <string>

#include "accounts/accounts.h"
#include "base/clock.h"
#include "accounts/key_hash.h"
#include "storage/store.h"
#include "storage/write_queue.h"

class CFakeClock : public CClock {
 public:
  int64_t WallSeconds() const override { return 1700000000 + m_steadyMs / 1000; }
  int64_t WallMs() const override { return 1700000000000 + m_steadyMs; }
  int64_t SteadyMs() const override { return m_steadyMs; }
  // Moves both clocks on by `ms` milliseconds.
  void Advance(int64_t ms) { m_steadyMs += ms; }

 private:
  // Atomic: the service's own threads read the clock while a test moves it.
  std::atomic<int64_t> m_steadyMs{0};
};

// A folder of its own under the system's temporary folder, removed with everything in it.
class CTempDir {
 public:
  CTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velk-test-XXXXXX").string();
    m_path = mkdtemp(pattern.data());
  }
  ~CTempDir() { std::filesystem::remove_all(m_path); }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Creates an account and waits for the outcome.
inline ECreateResult CreateAccountNow(CStore& store, const std::string& name,
                                      const std::string& key, int codePage) {
  CAccountRecord record;
  record.name = name;
  record.keyHash = HashKey(key);
  record.codePage = codePage;
  record.createdAt = 1700000000;
  std::promise<ECreateResult> done;
  store.Queue().CreateAccount(std::move(record),
                              [&done](ECreateResult result) { done.set_value(result); });
  return done.get_future().get();
}

// Applies a report and waits for its committed outcome.
inline CAccounts::EApply ApplyNow(CAccounts& accounts, const std::string& name,
                                  const CReport& report) {
  std::promise<CAccounts::EApply> done;
  accounts.Reports().Apply(name, report, [&done](CAccounts::EApply result, const std::string&) {
    done.set_value(result);
  });
  return done.get_future().get();
}
