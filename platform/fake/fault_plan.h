// Countdown fault injection shared by the in-memory fakes: fail the k-th call once, or from then
// on.
#pragma once

#include <cstdint>
#include <new>

// Counts the calls of one kind of operation and decides which of them fail. Not thread-safe on its
// own: each fake guards its plan with its own lock where calls come from several threads.
class CFaultPlan {
 public:
  // The `k`-th call from now (1-based) fails; with `persistent`, every call after it fails too.
  void FailNth(int k, bool persistent, long code = 1) {
    countdown_ = k;
    persistent_ = persistent;
    code_ = code;
    throws_ = false;
  }
  // The `k`-th call from now throws std::bad_alloc instead, once, as an allocation inside the
  // system call or the fake would: the operation then has no effect.
  void ThrowNth(int k) {
    FailNth(k, false);
    throws_ = true;
  }
  void Clear() {
    countdown_ = 0;
    persistent_ = false;
    throws_ = false;
  }

  // Counts one call. Returns 0 when it succeeds, otherwise the error code to report; throws
  // std::bad_alloc when the call was armed with ThrowNth.
  long Next() {
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

  // Calls counted since construction (the number of injection points a sweep must visit).
  int Calls() const { return calls_; }

 private:
  int countdown_ = 0;
  bool persistent_ = false;
  long code_ = 1;
  bool throws_ = false;
  int calls_ = 0;
};
