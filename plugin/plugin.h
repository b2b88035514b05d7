// The plug-in's boundary with the host: the descriptor, the application object and module load.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/app.h"

constexpr std::int32_t kDescriptorVersion = 0x10;
constexpr char kPluginDescription[] = "Velk - Winamp Moxel";
constexpr char kLocaleName[] = "bg_BG.utf8";
constexpr char kSocketsFailedMessage[] =
    "Velk could not start Windows networking, so it cannot report what you play. "
    "The plug-in has not been loaded.";
constexpr char kOutOfMemoryMessage[] =
    "Velk could not get the memory it needs. The plug-in has not been loaded.";

// The report timer's period in milliseconds. Defined apart from the rest of the plug-in, by a
// source the build writes for each variant of the DLL (see velk_add_plugin_dll in
// cmake/windows.cmake).
extern const unsigned kReportPeriodMs;

// The record the host reads through winampGetGeneralPurposePlugin and writes its window into.
// On 32-bit Windows every field is 32 bits wide and the entries are plain (cdecl) functions.
struct PluginDescriptorRecord {
  std::int32_t version;
  const char* description;
  int (*init)();
  void (*config)();
  void (*quit)();
  void* hwndParent;    // the host's main window, written by the host; every host question goes here
  void* hDllInstance;  // written by the host; never read
};

static_assert(sizeof(void*) != 4 || sizeof(PluginDescriptorRecord) == 28,
              "the host expects seven 32-bit fields");
static_assert(sizeof(void*) != 4 || (offsetof(PluginDescriptorRecord, description) == 4 &&
                                     offsetof(PluginDescriptorRecord, init) == 8 &&
                                     offsetof(PluginDescriptorRecord, config) == 12 &&
                                     offsetof(PluginDescriptorRecord, quit) == 16 &&
                                     offsetof(PluginDescriptorRecord, hwndParent) == 20 &&
                                     offsetof(PluginDescriptorRecord, hDllInstance) == 24),
              "descriptor fields out of place");

extern PluginDescriptorRecord PluginDescriptor;

// The module's only export. Returns the same record on every call and has no other effect.
extern "C" PluginDescriptorRecord* winampGetGeneralPurposePlugin();

// The application object. Its members run on the host's window thread.
class CPluginApp : public CWinApp {
 public:
  // Start-up: locale, sockets, settings, report timer. False makes the module refuse to load;
  // a message has then been shown, and no timer exists.
  bool InitInstance() override;
  // Returns 0. Everything starts at load; only after quit (a host that loads the module again
  // while it was still mapped) does it restart the report timer and the cycle's state.
  int PluginInit();
  // Shows the configuration dialog modally.
  void PluginConfig();
  // Hands a final stopped report to a worker and stops the report timer; does not wait. The one
  // entry that may run on any thread: called elsewhere than the window thread, the timer stops at
  // its next tick.
  void PluginQuit();
};

extern CPluginApp theApp;

// Module load, after the platform is installed: allocates ReporterState.ReportUrl and runs
// theApp.InitInstance. Returns false when the module must refuse to load (ExitInstance has run).
bool ModuleAttach();

// Module unload: stops a report timer that quit did not stop and releases ReportUrl. Workers still
// running hold their own copy of their URL (and, on Windows, a reference on the module).
void ModuleDetach();
