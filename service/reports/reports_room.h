// Reports from the plug-in: GET /signature/generate/?user=...&key=... or POST with that form body.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "accounts/account_reports.h"
#include "accounts/key_checks.h"
#include "accounts/report.h"
#include "base/work_pool.h"
#include "http/pipeline.h"

class CReportsRoom {
 public:
  // `keys`, `reports` and `keyChecks` (the pool for slow key checks) must outlive the room.
  CReportsRoom(CKeyChecks& keys, CAccountReports& reports, CWorkPool& keyChecks);

  std::vector<CRoute> Routes();

 private:
  void HandleReport(const CHttpRequest& request, CRoute::Reply reply);
  // Takes a report at once when memory decides its key (the account known current, the key the
  // one that last passed): returns true once it is queued for the store, with the answer bound to
  // the database deadline; else false, `reply` untouched.
  bool ReportFromMemory(const CHttpRequest& request, CRoute::Reply& reply,
                        const CRoute::CDeadline& deadline);
  void CheckKeyThenApply(std::shared_ptr<const CReport> report, const std::string& address,
                         CRoute::Reply reply);
  // `justChecked`: the key was decided from memory a moment ago, the account just read.
  void FinishReport(const CReport& report, CRoute::Reply reply, bool justChecked = false);

  CKeyChecks& m_keys;
  CAccountReports& m_reports;
  CWorkPool& m_keyChecks;
};
