// The threads area of the seam over Win32: report workers, thread timers and global memory.
#include <windows.h>

#include <utility>
#include <vector>

#include "platform/win32/win32_platform.h"

namespace {

// What a new worker needs, handed over on the process heap and freed by the worker itself.
struct WorkerStart {
  WorkerProc proc;
  void* arg;
  HMODULE module;  // the reference that keeps this module loaded until the worker has ended
};

// Runs on the new thread. Ends it with FreeLibraryAndExitThread, so that the module's last
// reference may go while no code of the module runs any more.
DWORD WINAPI WorkerEntry(LPVOID param) {
  const WorkerStart start = *static_cast<WorkerStart*>(param);
  HeapFree(GetProcessHeap(), 0, param);
  const unsigned result = start.proc(start.arg);
  FreeLibraryAndExitThread(start.module, result);
  return result;
}

// Timer procedures by timer identifier. Thread timers have no window to carry their procedure, so
// one trampoline serves them all. The lock guards the table only; procedures run outside it.
SRWLOCK g_timers_lock = SRWLOCK_INIT;
std::vector<std::pair<UINT_PTR, TimerProc>> g_timers;

TimerProc FindTimer(UINT_PTR id) {
  AcquireSRWLockShared(&g_timers_lock);
  TimerProc proc = nullptr;
  for (const auto& [timer_id, timer_proc] : g_timers) {
    if (timer_id == id) proc = timer_proc;
  }
  ReleaseSRWLockShared(&g_timers_lock);
  return proc;
}

VOID CALLBACK TimerEntry(HWND, UINT, UINT_PTR id, DWORD) {
  if (TimerProc proc = FindTimer(id)) proc();
}

class CWin32Threads final : public CThreads {
 public:
  bool StartWorker(WorkerProc proc, void* arg) override {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&WorkerEntry), &module)) {
      return false;
    }
    auto* start = static_cast<WorkerStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(WorkerStart)));
    if (start == nullptr) {
      FreeLibrary(module);
      return false;
    }
    *start = WorkerStart{proc, arg, module};
    HANDLE thread = CreateThread(nullptr, 0, WorkerEntry, start, 0, nullptr);
    if (thread == nullptr) {
      HeapFree(GetProcessHeap(), 0, start);
      FreeLibrary(module);
      return false;
    }
    // Workers are never joined; the thread object goes when the thread ends.
    CloseHandle(thread);
    return true;
  }

  std::uintptr_t StartThreadTimer(unsigned period_ms, TimerProc proc) override {
    // The table must hold the entry before the first tick, which this thread dispatches only
    // after returning; no other thread dispatches this thread's timers.
    AcquireSRWLockExclusive(&g_timers_lock);
    UINT_PTR id = SetTimer(nullptr, 0, period_ms, TimerEntry);
    if (id != 0) {
      try {
        g_timers.emplace_back(id, proc);
      } catch (...) {
        KillTimer(nullptr, id);
        id = 0;
      }
    }
    ReleaseSRWLockExclusive(&g_timers_lock);
    return id;
  }

  void StopThreadTimer(std::uintptr_t timer_id) override {
    KillTimer(nullptr, timer_id);
    AcquireSRWLockExclusive(&g_timers_lock);
    for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
      if (it->first == timer_id) {
        g_timers.erase(it);
        break;
      }
    }
    ReleaseSRWLockExclusive(&g_timers_lock);
  }

  void* AllocateZeroed(std::size_t bytes) override { return GlobalAlloc(GPTR, bytes); }

  void Release(void* memory) override {
    if (memory != nullptr) GlobalFree(memory);
  }
};

}  // namespace

CThreads& Win32Threads() {
  static CWin32Threads threads;
  return threads;
}
