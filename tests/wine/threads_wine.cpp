// Win32 threads area under Wine: thread timers find their procedures, workers run, memory is
// zeroed.
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/platform.h"
#include "platform/win32/win32_platform.h"
#include "wine_check.h"

namespace {

int g_ticks_a = 0;
int g_ticks_b = 0;
void TickA() { ++g_ticks_a; }
void TickB() { ++g_ticks_b; }

// Dispatches this thread's messages for `ms` milliseconds, as the host's window thread does.
void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(5);
  }
}

void TimersCallTheirOwnProcedure() {
  CThreads& threads = Win32Threads();
  const std::uintptr_t a = threads.StartThreadTimer(40, TickA);
  const std::uintptr_t b = threads.StartThreadTimer(40, TickB);
  CHECK(a != 0 && b != 0 && a != b);
  Pump(400);
  threads.StopThreadTimer(a);
  const int a_at_stop = g_ticks_a;
  Pump(300);
  threads.StopThreadTimer(b);
  CHECK(a_at_stop >= 2);
  CHECK_EQ_INT(g_ticks_a, a_at_stop);
  CHECK(g_ticks_b > a_at_stop);
}

std::atomic<DWORD> g_worker_thread{0};
unsigned Worker(void* arg) {
  g_worker_thread.store(GetCurrentThreadId());
  static_cast<std::atomic<int>*>(arg)->store(1);
  return 0;
}

void WorkerRunsOnItsOwnThread() {
  std::atomic<int> done{0};
  CHECK(Win32Threads().StartWorker(Worker, &done));
  for (int i = 0; i < 500 && done.load() == 0; ++i) Sleep(10);
  CHECK_EQ_INT(done.load(), 1);
  CHECK(g_worker_thread.load() != GetCurrentThreadId());
}

int g_throwing_ticks = 0;
void ThrowingTick() {
  ++g_throwing_ticks;
  throw std::bad_alloc();
}
unsigned ThrowingWorker(void* arg) {
  static_cast<std::atomic<int>*>(arg)->store(1);
  throw std::bad_alloc();
}

// What a tick or a worker throws ends at the boundary with the system: the process lives on, and
// the timer keeps ticking.
void ThrowsEndAtTheBoundary() {
  const std::uintptr_t timer = Win32Threads().StartThreadTimer(40, ThrowingTick);
  Pump(300);
  Win32Threads().StopThreadTimer(timer);
  CHECK(g_throwing_ticks >= 2);
  std::atomic<int> started{0};
  CHECK(Win32Threads().StartWorker(ThrowingWorker, &started));
  for (int i = 0; i < 500 && started.load() == 0; ++i) Sleep(10);
  Sleep(200);
  CHECK_EQ_INT(started.load(), 1);
}

void MemoryIsZeroFilled() {
  auto* bytes = static_cast<unsigned char*>(Win32Threads().AllocateZeroed(4096));
  if (!CHECK(bytes != nullptr)) return;
  int nonzero = 0;
  for (int i = 0; i < 4096; ++i) nonzero += bytes[i] != 0;
  CHECK_EQ_INT(nonzero, 0);
  Win32Threads().Release(bytes);
  Win32Threads().Release(nullptr);
}

}  // namespace

int main() {
  TimersCallTheirOwnProcedure();
  WorkerRunsOnItsOwnThread();
  ThrowsEndAtTheBoundary();
  MemoryIsZeroFilled();
  return winecheck::Finish();
}
