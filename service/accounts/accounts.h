// The accounts in use, composed of their parts: the held accounts, key checks, reports, kept
// reports and account changes, with the wrong attempts they share.
#pragma once

#include <cstdint>
#include <string>

#include "accounts/account_changes.h"
#include "accounts/account_reports.h"
#include "accounts/due_reports.h"
#include "accounts/held_accounts.h"
#include "accounts/key_checks.h"
#include "accounts/kept_reports.h"
#include "accounts/state_writes.h"
#include "accounts/user_name.h"
#include "accounts/wrong_attempts.h"
#include "base/clock.h"
#include "storage/store.h"

struct CAccountsOptions {
  int64_t minReportIntervalMs = 2000;  // closer reports of one account are kept, not applied
  size_t wrongKeysPerMinute = 20;      // wrong keys and tokens per client address and minute
  bool applyOnTime = true;  // false: kept reports wait for ApplyDueReports (a test's clock)
};

// Owns the parts of the accounts, which share one set of held accounts, and hands each room the
// part it uses. All parts may be used from any thread; callbacks run on the store's writer thread.
class CAccounts {
 public:
  // Loads the kept reports from `store` and schedules them. Throws CStoreError. `store` and
  // `clock` must outlive this.
  CAccounts(CStore& store, const CClock& clock, CAccountsOptions options);
  // Stops applying kept reports and waits until every write already queued has finished.
  ~CAccounts();
  CAccounts(const CAccounts&) = delete;
  CAccounts& operator=(const CAccounts&) = delete;

  using CView = CAccountView;
  using EKeyCheck = CKeyChecks::EKeyCheck;
  using EKeyFrom = CKeyChecks::EKeyFrom;
  using EApply = CAccountReports::EApply;
  using ApplyDone = CAccountReports::ApplyDone;
  using ChangeDone = CAccountChanges::ChangeDone;

  CHeldAccounts& Held() { return m_held; }
  CKeyChecks& Keys() { return m_keys; }
  CAccountReports& Reports() { return m_reports; }
  CKeptReports& Kept() { return m_kept; }
  CAccountChanges& Changes() { return m_changes; }
  // Wrong player tokens and sessions count against the same bound per client address as wrong
  // keys. WrongAttemptsWaitMs: 0 while one more may be tried from `address`, else the
  // milliseconds until then. Both throw CStoreError (a shared store counts).
  int64_t WrongAttemptsWaitMs(const std::string& address) { return m_attempts.WaitMs(address); }
  CWrongAttempts& Attempts() { return m_attempts; }
  void CountWrongAttempt(const std::string& address) { m_attempts.Count(address); }

 private:
  CStore& m_store;
  CWrongAttempts m_attempts;
  CDueReports m_due;
  CHeldAccounts m_held;
  CStateWrites m_writes;
  CKeyChecks m_keys;
  CAccountReports m_reports;
  CAccountChanges m_changes;
  CKeptReports m_kept;  // last: its thread ends first
};
