// The accounts in use: their keys, code pages and signature state, kept in memory after first use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "accounts/clock.h"
#include "accounts/key_hash.h"
#include "accounts/report.h"
#include "storage/store.h"
#include "storage/track_state.h"

// Account names: 2 to 32 characters of ASCII letters, digits, ".", "_" and "-", starting with a
// letter or a digit. The plug-in sends the name unescaped, so nothing that has a meaning in a
// query ("&", "=", "?", "%", "+", blank) may appear in one.
bool IsValidUserName(std::string_view name);
// Names nobody may register: the plug-in's default user name, so that unconfigured players
// report to no account.
bool IsReservedUserName(std::string_view name);

// Loads accounts from the store on first use and keeps them; applies reports to them. All
// members may be called from any thread.
class CAccounts {
 public:
  // Reports of one account closer together than `minReportIntervalMs` are dropped.
  CAccounts(CStore& store, const CClock& clock, int64_t minReportIntervalMs);

  struct CView {
    std::string name;
    int codePage = 0;
    int64_t createdAt = 0;
    CTrackState state;
    uint64_t version = 0;   // changes whenever what the image shows may change
    bool wrongKey = false;  // reports came with a wrong key, and none with the right one yet
  };
  // The account called `name` in any letter case, or nothing. Throws CStoreError.
  std::optional<CView> Find(std::string_view name);

  enum class EKeyCheck { kNoAccount, kMatches, kWrong, kUnknown };
  // Decides `key` (given as its digest) from what the service remembers: the digest of the last
  // key that matched and of the last one that did not. kUnknown means a slow check against
  // `*keyHash` must decide. Throws CStoreError.
  EKeyCheck CheckKey(std::string_view name, const CKeyDigest& digest, std::string* keyHash);
  // Remembers the outcome of a slow check.
  void RememberKeyCheck(std::string_view name, const CKeyDigest& digest, bool matches);

  enum class EApply { kStored, kRateLimited, kNoAccount };
  // Applies a report whose key matched: a track report replaces the track; a stopped report keeps
  // the last track and marks the time of the stop. The new state is queued for the store. A report
  // that comes too soon after the last one applied is not applied now (kRateLimited): the latest
  // such report is kept and applied once the interval has passed, at the account's next look-up,
  // unless a newer report comes first. So a player's final "stopped", sent right after a track
  // report, still reaches the signature.
  EApply Apply(std::string_view name, const CReport& report);

 private:
  struct CEntry {
    CAccountRecord record;
    uint64_t version = 1;
    std::optional<CKeyDigest> rightKey;
    std::optional<CKeyDigest> wrongKey;
    bool wrongKeySeen = false;
    std::optional<int64_t> lastAcceptedMs;
    // The latest report that came too soon, and the wall time it came at.
    std::optional<CReport> deferred;
    int64_t deferredAt = 0;
  };
  // Applies `report`, which came at wall time `arrivedAt`, to `entry` (m_mutex held).
  void ApplyLocked(CEntry& entry, const CReport& report, int64_t arrivedAt);
  // Applies the deferred report of `entry` when the interval has passed (m_mutex held).
  void ApplyDeferredLocked(CEntry& entry);
  // The entry of `name`, loaded from the store when missing; null when there is no such account.
  // Returns with m_mutex held when the entry exists.
  CEntry* Lock(std::string_view name, std::unique_lock<std::mutex>& lock);

  CStore& m_store;
  const CClock& m_clock;
  const int64_t m_minReportIntervalMs;
  std::mutex m_mutex;
  std::unordered_map<std::string, std::unique_ptr<CEntry>> m_entries;  // by NameKey
};
