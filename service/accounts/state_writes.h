// What a report makes of a held account's signature state, and the writes that commit it: to a
// store of this process alone, or to a shared store that decides it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "accounts/held_accounts.h"
#include "base/clock.h"
#include "storage/store.h"
#include "storage/track_state.h"

// Every member that takes a CHeldAccount is called with the held accounts' mutex held; the
// callbacks run on the store's writer thread without it.
class CStateWrites {
 public:
  // Every argument must outlive this.
  CStateWrites(CHeldAccounts& held, CDueReports& due, CStore& store, const CClock& clock);

  // The state `account` shows once `report`, which came at wall time `arrivedAt`, is applied.
  CTrackState Next(const CHeldAccount& account, const CKeptReport& report, int64_t arrivedAt) const;
  // Queues `state` for `account` with `listens` for its history and clears its kept report;
  // `committed` runs with the outcome after the account has been updated.
  void WriteState(CHeldAccount& account, const CTrackState& state,
                  std::function<void(bool stored, const std::string& error)> committed,
                  std::vector<CListen> listens = {});
  using SharedDone =
      std::function<void(bool stored, CReportOutcome::EResult result, const std::string& error)>;
  // Queues `write` of `account` to a shared store, which decides it; a report kept is scheduled
  // here. `done` runs with the outcome.
  void ReportShared(CHeldAccount& account, CReportWrite write, SharedDone done);

 private:
  // Takes the state that a shared store's report left (mutex held).
  void TakeApplied(CHeldAccount& account, const CReportOutcome& outcome);
  // Schedules `raw`, which a shared store kept as `outcome` says (mutex held).
  void ScheduleKept(CHeldAccount& account, const CKeptReport& raw, const CReportOutcome& outcome);

  CHeldAccounts& m_held;
  CDueReports& m_due;
  CStore& m_store;
  const CClock& m_clock;
};
