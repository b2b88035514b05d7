// Applying another player's report to its account.
#include "players/player_reports.h"

#include <memory>

#include "base/log.h"

void ApplyPlayerReport(CAccountReports& reports, const std::string& name, CKeptReport report,
                       CAccountReports::ApplyDone done, std::vector<CListen> listens) {
  auto shared = std::make_shared<CAccountReports::ApplyDone>(std::move(done));
  try {
    reports.ApplyFromPlayer(
        name, std::move(report),
        [shared](CAccountReports::EApply applied, const std::string& error) {
          if (applied == CAccountReports::EApply::kFailed) LogRepeated("report not stored", error);
          (*shared)(applied, error);
        },
        std::move(listens));
  } catch (const CStoreError& error) {
    // Only the look-up throws, before anything is queued.
    LogRepeated("report not stored", error.what());
    (*shared)(CAccountReports::EApply::kFailed, error.what());
  }
}
