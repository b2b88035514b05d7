// Whether the store takes a write within a time limit, for /readyz.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "storage/write_queue.h"

// Whether the store takes a write within a time limit. One check runs at a time, through the
// store's writer queue; the requests that arrive meanwhile share its outcome, so polling every
// second costs one small commit a second.
class CReadiness {
 public:
  using Answer = std::function<void(bool ready, const std::string& reason)>;
  // `queue` must outlive the object.
  explicit CReadiness(CWriteQueue& queue,
                      std::chrono::milliseconds limit = std::chrono::seconds(1));
  // Answers the requests still waiting as not ready. A check still in the store ends unheard.
  ~CReadiness();
  CReadiness(const CReadiness&) = delete;
  CReadiness& operator=(const CReadiness&) = delete;

  // Calls `answer` once, on a thread of the object's own, within the time limit: ready, or not
  // with a one-line reason. Any thread; never waits.
  void Check(Answer answer);

 private:
  struct CState;
  std::shared_ptr<CState> m_state;
};
