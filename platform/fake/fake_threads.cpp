// CFakeThreads: recorded, inline or real workers, recorded timers and tracked zeroed memory.
#include "platform/fake/fake_threads.h"

#include <cstdlib>
#include <system_error>

CFakeThreads::~CFakeThreads() {
  JoinAll();
  for (void* block : allocations_) std::free(block);
}

bool CFakeThreads::StartWorker(WorkerProc proc, void* arg) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (faults.start_worker.Next() != 0) return false;
  ++workers_started_;
  switch (mode_) {
    case Mode::kRecord:
      pending_.push_back({proc, arg});
      return true;
    case Mode::kInline:
      lock.unlock();
      proc(arg);
      return true;
    case Mode::kReal:
      break;
  }
  ReapEndedLocked();
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    real_.push_back({std::thread([proc, arg, done] {
                       proc(arg);
                       done->store(true);
                     }),
                     done});
  } catch (const std::system_error&) {
    --workers_started_;
    return false;
  }
  return true;
}

CThreads::WaitOutcome CFakeThreads::RunWorkerFor(WorkerProc proc, void* arg, unsigned) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (faults.run_worker.Next() != 0) return WaitOutcome::kNotStarted;
  }
  proc(arg);
  return WaitOutcome::kEnded;
}

void CFakeThreads::ReapEndedLocked() {
  for (auto it = real_.begin(); it != real_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = real_.erase(it);
    } else {
      ++it;
    }
  }
}

void CFakeThreads::SetMode(Mode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = mode;
}

void CFakeThreads::JoinAll() {
  std::vector<CRealWorker> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(real_);
  }
  for (CRealWorker& worker : workers) worker.thread.join();
}

std::vector<CFakeThreads::CPendingWorker> CFakeThreads::PendingWorkers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

int CFakeThreads::RunPendingWorkers() {
  int ran = 0;
  for (;;) {
    CPendingWorker next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pending_.empty()) return ran;
      next = pending_.front();
      pending_.erase(pending_.begin());
    }
    next.proc(next.arg);
    ++ran;
  }
}

int CFakeThreads::WorkersStarted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_started_;
}

std::uintptr_t CFakeThreads::StartThreadTimer(unsigned period_ms, TimerProc proc) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults.start_timer.Next() != 0) return 0;
  const std::uintptr_t id = next_timer_id_++;
  timers_.push_back({id, period_ms, proc, true});
  return id;
}

void CFakeThreads::StopThreadTimer(std::uintptr_t timer_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_calls_.push_back(timer_id);
  for (CTimer& timer : timers_) {
    if (timer.id == timer_id) timer.running = false;
  }
}

std::vector<std::uintptr_t> CFakeThreads::StopCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_calls_;
}

std::vector<CFakeThreads::CTimer> CFakeThreads::Timers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_;
}

bool CFakeThreads::FireTimer(std::uintptr_t timer_id) {
  TimerProc proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const CTimer& timer : timers_) {
      if (timer.id == timer_id && timer.running) proc = timer.proc;
    }
  }
  if (proc == nullptr) return false;
  proc();
  return true;
}

void* CFakeThreads::AllocateZeroed(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults.allocate.Next() != 0) return nullptr;
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (block != nullptr) allocations_.insert(block);
  return block;
}

void CFakeThreads::Release(void* memory) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (allocations_.erase(memory) == 0) {
    ++bad_releases_;
    return;
  }
  std::free(memory);
}

std::size_t CFakeThreads::LiveAllocations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return allocations_.size();
}

int CFakeThreads::BadReleases() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bad_releases_;
}

CFaultSites CFakeThreads::FaultSites() {
  return {{"allocation", &faults.allocate},
          {"timer start", &faults.start_timer},
          {"worker start", &faults.start_worker},
          {"bounded worker start", &faults.run_worker}};
}
