// The descriptor, CPluginApp's entries and module load and unload.
#include "plugin/plugin.h"

#include <atomic>

#include "framework/format.h"
#include "platform/platform.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "settings/configure.h"
#include "settings/settings.h"

namespace {

// The host calls these through the descriptor; nothing may unwind into the host's frames.
int PluginInitEntry() {
  try {
    return theApp.PluginInit();
  } catch (...) {
    return 0;
  }
}
void PluginConfigEntry() {
  try {
    theApp.PluginConfig();
  } catch (...) {
  }
}
void PluginQuitEntry() {
  try {
    theApp.PluginQuit();
  } catch (...) {
  }
}

// Quit has run since the module was loaded (or last initialised). Set by quit on whichever thread
// the host calls it; read on the window thread.
std::atomic<bool> g_quit{false};

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

int CPluginApp::PluginInit() {
  // A host that frees the library after quit and loads it again while quit's worker still holds
  // the module gets the same, still mapped module back, without a new module load: it starts
  // afresh here, as a load would have, instead of staying silent for want of a timer.
  if (g_quit.exchange(false)) {
    ReporterState.LastReported.assign(kStoppedKey);
    ReporterState.StoppedSent = 0;
    ReporterState.TimerId = Platform().threads->StartThreadTimer(kReportPeriodMs, OnReportTimer);
  }
  return 0;
}

void CPluginApp::PluginConfig() {
  CConfigure dialog;
  dialog.DoModal();
}

// A host may call quit from another thread than its window thread. The report is formatted in a
// buffer of this call's own, since a tick on the window thread may be formatting into ReportUrl at
// the same time, and the timer, which only its own thread can kill, is then stopped at its next
// tick.
void CPluginApp::PluginQuit() {
  char url[kFormatLimit];
  FormatStoppedReport(url);
  StartReport(url);
  if (ReporterState.TimerId != 0) {
    Platform().threads->StopThreadTimer(ReporterState.TimerId);
    ReporterState.TimerId = 0;
  }
  g_quit.store(true);
}

bool ModuleAttach() {
  CPlatform& platform = Platform();
  g_quit = false;
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
    // On Windows a live timer keeps the module loaded, so unload never finds one; elsewhere (the
    // fakes) nothing may tick into a module that is gone.
    platform.threads->StopThreadTimer(ReporterState.TimerId);
    ReporterState.TimerId = 0;
  }
  if (ReporterState.ReportUrl != nullptr) {
    platform.threads->Release(ReporterState.ReportUrl);
    ReporterState.ReportUrl = nullptr;
  }
}
