// The accounts in use, composed of their parts: the held accounts, key checks, reports, kept
// reports and account changes, with the wrong attempts they share.
#include "accounts/accounts.h"
#include "storage/write_queue.h"

CAccounts::CAccounts(CStore& store, const CClock& clock, CAccountsOptions options)
    : m_store(store),
      m_attempts(store, clock, options.wrongKeysPerMinute),
      m_held(store, clock, m_due),
      m_writes(m_held, m_due, store, clock),
      m_keys(m_held, store, m_attempts),
      m_reports(m_held, m_due, m_writes, store, clock, options.minReportIntervalMs),
      m_changes(m_held, store, clock),
      m_kept(m_held, m_due, m_writes, store, clock, options.applyOnTime) {}

CAccounts::~CAccounts() {
  m_kept.Stop();
  // The callbacks of queued writes update the held accounts and call into the parts, so they
  // must run before any part goes.
  m_store.Queue().Flush();
}
