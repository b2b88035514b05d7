// The DLL entry point: installs the Win32 platform, then runs module load and unload.
#include <windows.h>

#include "platform/win32/win32_platform.h"
#include "plugin/runtime_trim_win.h"
#include "plugin/plugin.h"

// Frees what the static C++ runtime keeps for the life of the module (its emergency exception
// pool); without it every load and unload of the DLL would leave that memory behind.
namespace __gnu_cxx {
void __freeres() noexcept;
}  // namespace __gnu_cxx

namespace {

void InstallWin32Platform() {
  CPlatform platform;
  platform.host = &Win32HostLink(&PluginDescriptor.hwndParent);
  platform.threads = &Win32Threads();
  platform.system = &Win32System();
  platform.registry = &Win32Registry();
  platform.internet = &Win32Internet();
  platform.dialogs = &Win32Dialogs();
  UsePlatform(platform);
}

}  // namespace

// The loader calls this under its lock; nothing may unwind into it. A load that throws refuses to
// load and gives back what it had taken.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  try {
    switch (reason) {
      case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        InstallWin32Platform();
        return ModuleAttach() ? TRUE : FALSE;
      case DLL_PROCESS_DETACH:
        // At process exit (reserved != NULL) other threads are gone and the process is ending:
        // there is nothing left to stop.
        if (reserved == nullptr) {
          ModuleDetach();
          __gnu_cxx::__freeres();
          CloseRuntimeLocks();
        }
        return TRUE;
      default:
        return TRUE;
    }
  } catch (...) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    try {
      ModuleDetach();
    } catch (...) {
    }
    return FALSE;
  }
}
