// Installing the fakes one report cycle runs against.
#include "tests/support/cycle_fakes.h"

#include "plugin/plugin.h"
#include "reporter/reporter_state.h"
#include "settings/settings.h"

void ResetModuleRecords() {
  Settings.User.clear();
  Settings.Key.clear();
  Settings.Enabled = 0;
  Settings.Method = 1;
  ReporterState.LastReported = kStoppedKey;
  ReporterState.RequestInFlight = 0;
  ReporterState.StoppedSent = 0;
  ReporterState.ReportUrl = nullptr;
  ReporterState.TimerId = 0;
  PluginDescriptor.hwndParent = nullptr;
  PluginDescriptor.hDllInstance = nullptr;
}

CCycleFakes::CCycleFakes(CHostLink& host, CFakeThreads& threads, CFakeInternet& internet,
                         const char* user, const char* key) {
  platform_.Host(host).Threads(threads).Internet(internet);
  ResetModuleRecords();
  Settings.User = user;
  Settings.Key = key;
  Settings.Enabled = 1;
  ReporterState.ReportUrl = static_cast<char*>(threads.AllocateZeroed(kReportUrlSize));
}

CCycleFakes::~CCycleFakes() { ReporterState.ReportUrl = nullptr; }
