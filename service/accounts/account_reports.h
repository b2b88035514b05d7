// Applying reports to accounts: the plug-in's and other players', at most one per interval and
// account, a report that comes sooner kept and applied when due.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "accounts/held_accounts.h"
#include "accounts/report.h"
#include "accounts/state_writes.h"
#include "base/clock.h"
#include "storage/store.h"

// All members may be called from any thread; callbacks run on the store's writer thread.
class CAccountReports {
 public:
  // Every reference must outlive this. Reports of one account closer than `minIntervalMs` are
  // kept, not applied.
  CAccountReports(CHeldAccounts& held, CDueReports& due, CStateWrites& writes, CStore& store,
                  const CClock& clock, int64_t minIntervalMs);

  enum class EApply {
    kStored,     // applied and committed
    kKept,       // too soon after the last report applied: kept (committed), applied when due
    kNoAccount,  //
    kFailed,     // the write failed: nothing changed; `error` says why
  };
  using ApplyDone = std::function<void(EApply result, const std::string& error)>;
  // Applies a report whose key matched: a track report replaces the track; a stopped report keeps
  // the last track and marks the time of the stop. `done` runs once the outcome is committed, on
  // the store's writer thread (or at once on the calling thread for kNoAccount). A report that
  // comes too soon after the last one applied is kept instead, replacing any kept before, and is
  // applied once the interval has passed, unless a newer report comes first. So a player's final
  // "stopped", sent right after a track report, still reaches the signature. `justRead`: the
  // caller's key check of this report has just read the account, so a shared store is not asked
  // again.
  void Apply(std::string_view name, const CReport& report, ApplyDone done, bool justRead = false);
  // Applies a report of another player (`report.source` is not kPlugin; its arrival is now) as
  // Apply does, within the same interval, with its own rules: a track playing now replaces the
  // state and, with a duration, ends by itself at start + duration + kListenGraceSeconds; a
  // finished listen shows as the last played track unless something newer is playing or shown.
  // `listens` go into the account's history with the report, applied or kept.
  void ApplyFromPlayer(std::string_view name, CKeptReport report, ApplyDone done,
                       std::vector<CListen> listens = {});

 private:
  // Applies `incoming` (arrived now) to the account, or keeps it when it comes too soon.
  // Each takes the report's `listens` for the account's history.
  void Submit(std::string_view name, CKeptReport incoming, ApplyDone done, bool justRead,
              std::vector<CListen> listens);
  // Hands `incoming` to a shared store, which decides the interval. Takes `lock`'s mutex.
  void SubmitShared(CHeldAccount& account, CKeptReport incoming, ApplyDone done,
                    std::unique_lock<std::mutex>& lock, std::vector<CListen> listens);
  // Keeps `incoming`, which came at steady `nowMs`, too soon: until steady `dueMs` (mutex held).
  void Keep(CHeldAccount& account, CKeptReport incoming, int64_t nowMs, int64_t dueMs,
            ApplyDone done, std::vector<CListen> listens);
  // Applies `incoming`, which came at steady `nowMs`, now (mutex held in `lock`).
  void ApplyHere(CHeldAccount& account, const CKeptReport& incoming, int64_t nowMs, ApplyDone done,
                 std::unique_lock<std::mutex>& lock, std::vector<CListen> listens);

  CHeldAccounts& m_held;
  CDueReports& m_due;
  CStateWrites& m_writes;
  CStore& m_store;
  const CClock& m_clock;
  const int64_t m_minIntervalMs;
};
