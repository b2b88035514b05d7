// Slow key verification off the network threads, with a bounded queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs VerifyKey on threads of its own so that a slow hash never stalls a network thread. The
// queue is bounded: a flood of reports with new wrong keys is refused instead of growing it.
class CKeyVerifier {
 public:
  using Done = std::function<void(bool matches)>;

  CKeyVerifier(size_t threads, size_t maxPending);
  // Finishes the queued checks, then joins the threads.
  ~CKeyVerifier();
  CKeyVerifier(const CKeyVerifier&) = delete;
  CKeyVerifier& operator=(const CKeyVerifier&) = delete;

  // Queues a check of `key` against `hash`; `done` runs later on a verifier thread. Returns false,
  // and never calls `done`, when maxPending checks are already waiting.
  bool Submit(std::string hash, std::string key, Done done);

 private:
  struct CJob {
    std::string hash;
    std::string key;
    Done done;
  };
  void Run();

  const size_t m_maxPending;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<CJob> m_jobs;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};
