// CFakeThreads: workers run on demand, at once or on real threads; recorded timers; tracked memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/platform.h"

class CFakeThreads final : public CThreads {
 public:
  enum class Mode {
    kRecord,  // StartWorker keeps the worker pending; the test runs it with RunPendingWorkers
    kInline,  // StartWorker runs the worker to its end before returning
    kReal,    // StartWorker starts a std::thread; JoinAll waits for all of them
  };

  struct CPendingWorker {
    WorkerProc proc;
    void* arg;
  };

  struct CTimer {
    std::uintptr_t id;
    unsigned period_ms;
    TimerProc proc;
    bool running;
  };

  explicit CFakeThreads(Mode mode = Mode::kRecord) : mode_(mode) {}
  // Joins every real thread and frees every block still allocated. Pending (recorded) workers are
  // not run; their arguments remain the test's to dispose of.
  ~CFakeThreads() override;
  CFakeThreads(const CFakeThreads&) = delete;
  CFakeThreads& operator=(const CFakeThreads&) = delete;

  // Any thread. Fails, per the worker fault plan, without running `proc`.
  bool StartWorker(WorkerProc proc, void* arg) override;
  // Any thread. Runs `proc` to its end on the calling thread, whatever the mode; kNotStarted,
  // without running it, per the bounded worker fault plan.
  WaitOutcome RunWorkerFor(WorkerProc proc, void* arg, unsigned timeout_ms) override;
  std::uintptr_t StartThreadTimer(unsigned period_ms, TimerProc proc) override;
  void StopThreadTimer(std::uintptr_t timer_id) override;
  // Any thread. Really allocates (zero-filled) and tracks the block; nullptr per the fault plan.
  void* AllocateZeroed(std::size_t bytes) override;
  // Any thread. Frees a block from AllocateZeroed; anything else is counted in BadReleases.
  void Release(void* memory) override;

  // Applies to the workers started from now on.
  void SetMode(Mode mode);

  // Record mode. The workers started and not yet run, oldest first.
  std::vector<CPendingWorker> PendingWorkers() const;
  // Runs the pending workers, oldest first, on the calling thread, including any they start.
  // Returns how many ran.
  int RunPendingWorkers();

  // Real-thread mode: waits until every thread started so far has ended.
  void JoinAll();

  // Workers started successfully since construction, in any mode.
  int WorkersStarted() const;

  std::vector<CTimer> Timers() const;
  // The identifiers passed to StopThreadTimer, in order, known or not.
  std::vector<std::uintptr_t> StopCalls() const;
  // Runs the proc of timer `timer_id` once on the calling thread, as a tick would. Returns false
  // when there is no such running timer.
  bool FireTimer(std::uintptr_t timer_id);

  std::size_t LiveAllocations() const;
  int BadReleases() const;

  // One plan per fallible operation.
  struct {
    CFaultPlan allocate;
    CFaultPlan start_timer;
    CFaultPlan start_worker;
    CFaultPlan run_worker;
  } faults;
  CFaultSites FaultSites();

 private:
  struct CRealWorker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // Joins the real threads that have already ended. Caller holds mutex_.
  void ReapEndedLocked();

  mutable std::mutex mutex_;
  Mode mode_;
  std::vector<CPendingWorker> pending_;
  std::vector<CRealWorker> real_;
  int workers_started_ = 0;
  std::vector<CTimer> timers_;
  std::vector<std::uintptr_t> stop_calls_;
  std::uintptr_t next_timer_id_ = 1;
  std::set<void*> allocations_;
  int bad_releases_ = 0;
};
