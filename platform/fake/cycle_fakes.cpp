// Installing the fakes one report cycle runs against.
#include "platform/fake/cycle_fakes.h"

#include "reporter/reporter_state.h"
#include "settings/settings.h"

CPlatform InstallCycleFakes(CHostLink& host, CFakeThreads& threads, CFakeInternet& internet,
                            const char* user, const char* key) {
  const CPlatform previous = Platform();
  CPlatform platform;
  platform.host = &host;
  platform.threads = &threads;
  platform.internet = &internet;
  UsePlatform(platform);
  Settings.User = user;
  Settings.Key = key;
  Settings.Enabled = 1;
  Settings.Method.store(1);
  ReporterState.LastReported = kStoppedKey;
  ReporterState.RequestInFlight.store(0);
  ReporterState.StoppedSent = 0;
  ReporterState.ReportUrl = static_cast<char*>(threads.AllocateZeroed(kReportUrlSize));
  return previous;
}

void RemoveCycleFakes(const CPlatform& previous) {
  ReporterState.ReportUrl = nullptr;
  UsePlatform(previous);
}
