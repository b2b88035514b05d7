// Countdown fault injection shared by the in-memory fakes: fail the k-th call once, or from then
// on.
#pragma once

#include <mutex>
#include <new>
#include <vector>

// Counts the calls of one kind of operation and decides which of them fail. Thread-safe: report
// workers count calls on their own threads while a test plans faults or reads counts.
class CFaultPlan {
 public:
  // `code` is what a failing call reports unless FailNth names another.
  explicit CFaultPlan(long code = 1) : default_code_(code) {}
  CFaultPlan(const CFaultPlan&) = delete;
  CFaultPlan& operator=(const CFaultPlan&) = delete;

  // The `k`-th call from now (1-based) fails; with `persistent`, every call after it fails too.
  void FailNth(int k, bool persistent) { FailNth(k, persistent, default_code_); }
  void FailNth(int k, bool persistent, long code) {
    std::lock_guard<std::mutex> lock(mutex_);
    countdown_ = k;
    persistent_ = persistent;
    code_ = code;
    throws_ = false;
  }
  // The `k`-th call from now throws std::bad_alloc instead, once, as an allocation inside the
  // system call or the fake would: the operation then has no effect.
  void ThrowNth(int k) {
    std::lock_guard<std::mutex> lock(mutex_);
    countdown_ = k;
    persistent_ = false;
    throws_ = true;
  }
  // No call fails from now on; the count goes on.
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    countdown_ = 0;
    persistent_ = false;
    throws_ = false;
  }
  // No call fails from now on, and the count starts again from 0.
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    countdown_ = 0;
    persistent_ = false;
    throws_ = false;
    calls_ = 0;
  }

  // Counts one call. Returns 0 when it succeeds, otherwise the error code to report; throws
  // std::bad_alloc when the call was armed with ThrowNth.
  long Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    if (countdown_ <= 0) return 0;
    if (--countdown_ > 0) return 0;
    if (persistent_) countdown_ = 1;
    if (throws_) {
      throws_ = false;
      throw std::bad_alloc();
    }
    return code_;
  }

  // Calls counted since construction or Reset (the injection points a sweep must visit).
  int Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  const long default_code_;
  int countdown_ = 0;
  bool persistent_ = false;
  long code_ = 1;
  bool throws_ = false;
  int calls_ = 0;
};

// One kind of fallible call of a fake, as a sweep over every fake sees it. Each fake plans its
// faults in one public member, `faults`, with one CFaultPlan per kind of call, and lists them in
// FaultSites().
struct CFaultSite {
  const char* name;  // for messages: "registry query", "worker start", ...
  CFaultPlan* plan;
};
using CFaultSites = std::vector<CFaultSite>;
