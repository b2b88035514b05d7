// Applying another player's report to its account.
#include "players/player_reports.h"

#include <memory>

#include "base/log.h"

void ApplyPlayerReport(CAccounts& accounts, const std::string& name, CKeptReport report,
                       CAccounts::ApplyDone done, std::vector<CListen> listens) {
  auto shared = std::make_shared<CAccounts::ApplyDone>(std::move(done));
  try {
    accounts.Reports().ApplyFromPlayer(
        name, std::move(report),
        [shared](CAccounts::EApply applied, const std::string& error) {
          if (applied == CAccounts::EApply::kFailed) LogRepeated("report not stored", error);
          (*shared)(applied, error);
        },
        std::move(listens));
  } catch (const CStoreError& error) {
    // Only the look-up throws, before anything is queued.
    LogRepeated("report not stored", error.what());
    (*shared)(CAccounts::EApply::kFailed, error.what());
  }
}
