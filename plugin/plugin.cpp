// The descriptor, CPluginApp's entries and module load and unload.
#include "plugin/plugin.h"

#include "platform/platform.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "settings/configure.h"
#include "settings/settings.h"

namespace {

int PluginInitEntry() { return theApp.PluginInit(); }
void PluginConfigEntry() { theApp.PluginConfig(); }
void PluginQuitEntry() { theApp.PluginQuit(); }

}  // namespace

PluginDescriptorRecord PluginDescriptor = {kDescriptorVersion,
                                           kPluginDescription,
                                           PluginInitEntry,
                                           PluginConfigEntry,
                                           PluginQuitEntry,
                                           nullptr,
                                           nullptr};

CPluginApp theApp;

extern "C" PluginDescriptorRecord* winampGetGeneralPurposePlugin() { return &PluginDescriptor; }

bool CPluginApp::InitInstance() {
  CWinApp::InitInstance();
  CPlatform& platform = Platform();
  platform.system->SetRuntimeLocale(kLocaleName);
  if (!platform.system->StartSockets()) {
    platform.system->ShowMessage(kSocketsFailedMessage);
    return false;
  }
  if (!LoadSettings()) return false;
  ReporterState.TimerId = platform.threads->StartThreadTimer(kReportPeriodMs, OnReportTimer);
  return true;
}

int CPluginApp::PluginInit() { return 0; }

void CPluginApp::PluginConfig() {
  CConfigure dialog;
  dialog.DoModal();
}

void CPluginApp::PluginQuit() {
  FormatStoppedReport(ReporterState.ReportUrl);
  StartReport(ReporterState.ReportUrl);
  if (ReporterState.TimerId != 0) {
    Platform().threads->StopThreadTimer(ReporterState.TimerId);
    ReporterState.TimerId = 0;
  }
}

bool ModuleAttach() {
  CPlatform& platform = Platform();
  ReporterState.ReportUrl = static_cast<char*>(platform.threads->AllocateZeroed(kReportUrlSize));
  if (ReporterState.ReportUrl == nullptr) {
    platform.system->ShowMessage(kOutOfMemoryMessage);
    return false;
  }
  if (!theApp.InitInstance()) {
    theApp.ExitInstance();
    ModuleDetach();
    return false;
  }
  return true;
}

void ModuleDetach() {
  CPlatform& platform = Platform();
  if (ReporterState.TimerId != 0) {
    // A host that unloads without calling quit would otherwise leave a timer pointing into
    // unmapped code.
    platform.threads->StopThreadTimer(ReporterState.TimerId);
    ReporterState.TimerId = 0;
  }
  if (ReporterState.ReportUrl != nullptr) {
    platform.threads->Release(ReporterState.ReportUrl);
    ReporterState.ReportUrl = nullptr;
  }
}
