// The threads area of the seam over Win32: report workers, thread timers and global memory.
#include <windows.h>

#include <vector>

#include "platform/win32/win32_platform.h"

namespace {

// What a new worker needs, handed over on the process heap and freed by the worker itself.
struct WorkerStart {
  WorkerProc proc;
  void* arg;
  HMODULE module;  // the reference that keeps this module loaded until the worker has ended
};

// A reference on the module that holds this code, or nullptr when none could be taken.
HMODULE ReferenceThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&ReferenceThisModule), &module);
  return module;
}

// Runs on the new thread. Nothing may unwind into the system's thread start, so everything the
// worker throws ends here. Ends the thread with FreeLibraryAndExitThread, so that the module's last
// reference may go while no code of the module runs any more.
DWORD WINAPI WorkerEntry(LPVOID param) {
  const WorkerStart start = *static_cast<WorkerStart*>(param);
  HeapFree(GetProcessHeap(), 0, param);
  unsigned result = 1;
  try {
    result = start.proc(start.arg);
  } catch (...) {
  }
  FreeLibraryAndExitThread(start.module, result);
  return result;
}

// The work of a thread that only carries a module reference to its end.
unsigned NoWork(void*) { return 0; }

// Starts `proc(arg)` on a new thread that holds `module` (a reference the caller hands over) until
// it ends. Returns the thread's handle, or nullptr when no thread started; the reference is then
// still the caller's.
HANDLE StartModuleThread(WorkerProc proc, void* arg, HMODULE module) {
  auto* start = static_cast<WorkerStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(WorkerStart)));
  if (start == nullptr) return nullptr;
  *start = WorkerStart{proc, arg, module};
  HANDLE thread = CreateThread(nullptr, 0, WorkerEntry, start, 0, nullptr);
  if (thread == nullptr) HeapFree(GetProcessHeap(), 0, start);
  return thread;
}

// A new worker thread with a module reference of its own; nullptr when none could be started.
HANDLE StartWorkerThread(WorkerProc proc, void* arg) {
  HMODULE module = ReferenceThisModule();
  if (module == nullptr) return nullptr;
  HANDLE thread = StartModuleThread(proc, arg, module);
  if (thread == nullptr) FreeLibrary(module);
  return thread;
}

// A running thread timer: its procedure, the thread that owns it (the only one that can kill it)
// and the module reference it holds while it can tick. `stopping`: another thread asked for it to
// stop, and its next tick kills it.
struct CTimerRecord {
  UINT_PTR id;
  TimerProc proc;
  DWORD thread;
  HMODULE module;
  bool stopping;
};

// Thread timers have no window to carry their procedure, so one trampoline serves them all. The
// lock guards the table only; procedures run outside it.
SRWLOCK g_timers_lock = SRWLOCK_INIT;
std::vector<CTimerRecord> g_timers;

// The procedure for a tick of timer `id`, on its own thread; nullptr for an unknown timer and for
// one marked stopping, which is killed here. Its module reference then goes from a thread of its
// own, since this code may be the module's last user.
TimerProc TakeTick(UINT_PTR id) {
  TimerProc proc = nullptr;
  HMODULE released = nullptr;
  AcquireSRWLockExclusive(&g_timers_lock);
  for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
    if (it->id != id) continue;
    if (!it->stopping) {
      proc = it->proc;
    } else if (KillTimer(nullptr, id)) {
      released = it->module;
      g_timers.erase(it);
    }
    break;
  }
  ReleaseSRWLockExclusive(&g_timers_lock);
  // Without a thread the reference stays: the module then stays loaded, silent, until the end.
  if (released != nullptr) {
    HANDLE thread = StartModuleThread(NoWork, nullptr, released);
    if (thread != nullptr) CloseHandle(thread);
  }
  return proc;
}

// Called by the system's message dispatch. A tick that throws ends there; the timer goes on and
// the next tick decides afresh.
VOID CALLBACK TimerEntry(HWND, UINT, UINT_PTR id, DWORD) {
  try {
    if (TimerProc proc = TakeTick(id)) proc();
  } catch (...) {
  }
}

class CWin32Threads final : public CThreads {
 public:
  bool StartWorker(WorkerProc proc, void* arg) override {
    HANDLE thread = StartWorkerThread(proc, arg);
    if (thread == nullptr) return false;
    // Workers are never joined; the thread object goes when the thread ends.
    CloseHandle(thread);
    return true;
  }

  WaitOutcome RunWorkerFor(WorkerProc proc, void* arg, unsigned timeout_ms) override {
    HANDLE thread = StartWorkerThread(proc, arg);
    if (thread == nullptr) return WaitOutcome::kNotStarted;
    const DWORD waited = WaitForSingleObject(thread, timeout_ms);
    CloseHandle(thread);
    return waited == WAIT_OBJECT_0 ? WaitOutcome::kEnded : WaitOutcome::kStillRunning;
  }

  std::uintptr_t StartThreadTimer(unsigned period_ms, TimerProc proc) override {
    HMODULE module = ReferenceThisModule();
    if (module == nullptr) return 0;
    // The table must hold the entry before the first tick, which this thread dispatches only
    // after returning; no other thread dispatches this thread's timers.
    AcquireSRWLockExclusive(&g_timers_lock);
    UINT_PTR id = SetTimer(nullptr, 0, period_ms, TimerEntry);
    if (id != 0) {
      try {
        g_timers.push_back(CTimerRecord{id, proc, GetCurrentThreadId(), module, false});
      } catch (...) {
        KillTimer(nullptr, id);
        id = 0;
      }
    }
    ReleaseSRWLockExclusive(&g_timers_lock);
    if (id == 0) FreeLibrary(module);
    return id;
  }

  void StopThreadTimer(std::uintptr_t timer_id) override {
    HMODULE module = nullptr;
    AcquireSRWLockExclusive(&g_timers_lock);
    for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
      if (it->id != timer_id) continue;
      if (it->thread == GetCurrentThreadId() && KillTimer(nullptr, timer_id)) {
        module = it->module;
        g_timers.erase(it);
      } else {
        it->stopping = true;
      }
      break;
    }
    ReleaseSRWLockExclusive(&g_timers_lock);
    if (module != nullptr) FreeLibrary(module);
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
