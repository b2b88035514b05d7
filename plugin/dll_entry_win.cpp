// The DLL entry point: installs the Win32 platform, then runs module load and unload.
#include <windows.h>

#include "platform/win32/win32_platform.h"
#include "plugin/plugin.h"

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

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      InstallWin32Platform();
      return ModuleAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // At process exit (reserved != NULL) other threads are gone and the process is ending:
      // there is nothing left to stop.
      if (reserved == nullptr) ModuleDetach();
      return TRUE;
    default:
      return TRUE;
  }
}
