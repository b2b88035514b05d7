// The kept reports: adopted from the store, and applied when due on a thread of their own.
#pragma once

#include <cstdint>
#include <thread>

#include "accounts/held_accounts.h"
#include "accounts/state_writes.h"
#include "base/clock.h"
#include "storage/store.h"

// Applies every held account's kept report once it is due. With a shared store, it also looks
// now and then for kept reports that other instances left, and claims each before applying it,
// so that one instance applies it.
class CKeptReports {
 public:
  // Loads the kept reports from `store` and schedules them; with `applyOnTime`, starts the thread
  // that applies them when due (else ApplyDueReports must be called: a test's clock). Throws
  // CStoreError. Every reference must outlive this.
  CKeptReports(CHeldAccounts& held, CDueReports& due, CStateWrites& writes, CStore& store,
               const CClock& clock, bool applyOnTime);
  ~CKeptReports();  // Stop
  CKeptReports(const CKeptReports&) = delete;
  CKeptReports& operator=(const CKeptReports&) = delete;

  // Applies the kept reports that are due now. The thread calls it; tests may too.
  void ApplyDueReports();
  // Ends the thread; no kept report is applied on time after it. Any thread but that one.
  void Stop();

 private:
  // Schedules the kept reports of the store that this instance does not hold yet. Throws.
  void AdoptKeptReports();
  // Applies `account`'s kept report of a shared store if it is still the one kept (mutex held).
  void ClaimKept(CHeldAccount& account);
  // Applies `account`'s kept report to a store of this process alone (mutex held).
  void ApplyHere(CHeldAccount& account, int64_t nowMs);
  void RunScheduler();

  CHeldAccounts& m_held;
  CDueReports& m_due;
  CStateWrites& m_writes;
  CStore& m_store;
  const CClock& m_clock;
  // Steady time of the next look at a shared store's kept reports (the held accounts' mutex).
  int64_t m_adoptAtMs = 0;
  bool m_stopping = false;  // the held accounts' mutex
  std::thread m_scheduler;
};
