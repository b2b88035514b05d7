// An account as this instance holds it in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "accounts/key_hash.h"
#include "storage/store.h"
#include "storage/track_state.h"

// An account held in memory. Every field is guarded by CHeldAccounts::Mutex(). Once made, an
// account stays at its address until CHeldAccounts ends, also after it was deleted, so that
// callbacks of writes still queued may hold it.
struct CHeldAccount {
  std::string nameKey;
  CAccountRecord record;  // record.state: what is committed
  uint64_t version = 1;
  int64_t changedAt = 0;
  std::optional<CTrackState> latest;  // the state once every queued write commits
  size_t pendingWrites = 0;
  std::optional<CKeyDigest> rightKey;
  std::optional<CKeyDigest> wrongKey;
  bool wrongKeySeen = false;
  bool checkReserved = false;
  std::optional<int64_t> lastAcceptedMs;
  std::optional<CKeptReport> kept;  // committed to the store as well
  int64_t keptDueMs = 0;            // steady time from which `kept` may be applied
  uint64_t keptGeneration = 0;      // grows with every kept report
  bool keptInStore = false;         // the store may hold a kept report of this account
  bool applyingKept = false;
  std::string checkedHash;  // the key hash that the reserved slow check uses
  bool removed = false;     // deleted: no longer found; kept in memory for writes under way
  // With a shared store's change feed: the feed's epoch when `record` was read, the newest
  // version that the feed reported since (kUnknownVersion: a change that named none), and how
  // many changes it reported of this account. `record` is current while the feed is live, the
  // epoch unchanged and its version at least the one reported.
  uint64_t readEpoch = 0;
  int64_t reportedVersion = 0;
  uint64_t changesReported = 0;
};
