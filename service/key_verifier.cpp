// Slow key verification off the network threads, with a bounded queue.
#include "key_verifier.h"

#include "key_hash.h"

CKeyVerifier::CKeyVerifier(size_t threads, size_t maxPending) : maxPending_(maxPending) {
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

CKeyVerifier::~CKeyVerifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool CKeyVerifier::Submit(std::string hash, std::string key, Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= maxPending_) return false;
    jobs_.push_back({std::move(hash), std::move(key), std::move(done)});
  }
  wake_.notify_one();
  return true;
}

void CKeyVerifier::Run() {
  for (;;) {
    CJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job.done(VerifyKey(job.hash, job.key));
  }
}
