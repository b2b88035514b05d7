// What the DLL takes from the static C++ runtime, trimmed to what the plug-in can use, and the
// locks that runtime makes given back at unload.
//
// Linked into gen_Velk.dll only. The runtime's own versions of these functions drag in whole
// parts of it that the plug-in never needs: the default terminate handler its demangler (some
// 40 KB), and the throw helpers that the string members call the runtime's exception classes,
// which carry a second string implementation with them (some 80 KB with their unwind tables).
// Every entry the system calls catches everything, so what is thrown only has to be caught, never
// read.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <new>

#include "plugin/runtime_trim_win.h"

namespace {

#if defined(__i386__)
// The i686 runtime's unwinder makes a lock (a semaphore) when the DLL's unwind tables are
// registered at load, and its thread-local storage another at the first exception; neither is
// ever closed, so each load of the DLL would leave one or two handles behind. Every
// CreateSemaphoreW of the DLL comes here instead, through its import slot below, and is
// remembered until unload.
constexpr LONG kTrackedSemaphores = 8;
HANDLE g_semaphores[kTrackedSemaphores];
LONG g_semaphores_made = 0;

HANDLE WINAPI TrackedCreateSemaphoreW(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum,
                                      LPCWSTR name) {
  using Proc = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);
  const auto create = reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSemaphoreW")));
  HANDLE semaphore = create != nullptr ? create(security, initial, maximum, name) : nullptr;
  const LONG slot = InterlockedIncrement(&g_semaphores_made) - 1;
  if (semaphore != nullptr && slot < kTrackedSemaphores) g_semaphores[slot] = semaphore;
  return semaphore;
}
#endif

// A string operation used out of its contract (a null text, a position past the end).
class CMisuse final : public std::exception {
 public:
  const char* what() const noexcept override { return "misuse of a string operation"; }
};

}  // namespace

#if defined(__i386__)
extern "C" void* g_create_semaphore_slot asm("__imp__CreateSemaphoreW@16");
void* g_create_semaphore_slot = reinterpret_cast<void*>(&TrackedCreateSemaphoreW);
#endif

void CloseRuntimeLocks() {
#if defined(__i386__)
  const LONG made = g_semaphores_made;
  for (LONG slot = 0; slot < made && slot < kTrackedSemaphores; ++slot) {
    if (g_semaphores[slot] != nullptr) CloseHandle(g_semaphores[slot]);
    g_semaphores[slot] = nullptr;
  }
  g_semaphores_made = 0;
#endif
}

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
// A text longer than the allocator can ever give: out of memory as far as the plug-in can tell.
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_logic_error(const char*) { throw CMisuse(); }
void __throw_out_of_range_fmt(const char*, ...) { throw CMisuse(); }
}  // namespace std
