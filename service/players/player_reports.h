// Applying another player's report to its account, for the ListenBrainz and Audioscrobbler rooms.
#pragma once

#include <string>

#include "accounts/account_reports.h"

// Applies `report` to the account `name`, then calls `done` once with the outcome (kFailed with
// the error, logged, when the database failed). Any thread.
// `listens` go into the account's history with the report.
void ApplyPlayerReport(CAccountReports& reports, const std::string& name, CKeptReport report,
                       CAccountReports::ApplyDone done, std::vector<CListen> listens = {});
