// What operators ask of a running service: /healthz, /readyz and, on a listener of its own,
// /metrics.
#include "app/operator_endpoints.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/metrics.h"

struct CReadiness::CState {
  struct CWaiting {
    std::chrono::steady_clock::time_point deadline;
    Answer answer;
  };
  CStore& store;
  const std::chrono::milliseconds limit;
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<CWaiting> waiting;
  bool checking = false;  // a check is in the store's queue
  bool finished = false;  // it has an outcome, not yet given to those waiting
  bool ready = false;
  std::string reason;
  bool stopping = false;
  std::thread thread;

  CState(CStore& s, std::chrono::milliseconds l) : store(s), limit(l) {}

  // Starts a check when requests wait and none runs, gives outcomes and time-outs; returns when
  // stopping. The store's callback holds `self`, so the state outlives a check that never ends.
  void Run(const std::shared_ptr<CState>& self) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      // A check whose outcome is not given yet counts as running: those waiting take its outcome.
      if (!waiting.empty() && !checking && !finished) {
        checking = true;
        lock.unlock();
        store.CheckReady([self](bool stored, const std::string& error) {
          std::lock_guard<std::mutex> guard(self->mutex);
          self->checking = false;
          self->finished = true;
          self->ready = stored;
          self->reason = "the database refused a write: " + error;
          self->wake.notify_all();
        });
        lock.lock();
      }
      std::vector<CWaiting> done;
      const auto now = std::chrono::steady_clock::now();
      for (auto it = waiting.begin(); it != waiting.end();) {
        if (finished || it->deadline <= now) {
          done.push_back(std::move(*it));
          it = waiting.erase(it);
        } else {
          ++it;
        }
      }
      const bool outcome = finished && ready;
      const std::string why = finished ? reason : "the database did not take a write in time";
      finished = false;
      if (!done.empty()) {
        lock.unlock();
        for (CWaiting& w : done) w.answer(outcome, outcome ? "" : why);
        lock.lock();
        continue;
      }
      if (waiting.empty()) {
        wake.wait(lock);
      } else {
        auto first = waiting.front().deadline;
        for (const CWaiting& w : waiting) first = std::min(first, w.deadline);
        wake.wait_until(lock, first);
      }
    }
    std::vector<CWaiting> left;
    left.swap(waiting);
    lock.unlock();
    for (CWaiting& w : left) w.answer(false, "the service is stopping");
  }
};

CReadiness::CReadiness(CStore& store, std::chrono::milliseconds limit)
    : m_state(std::make_shared<CState>(store, limit)) {
  m_state->thread = std::thread([state = m_state] { state->Run(state); });
}

CReadiness::~CReadiness() {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->stopping = true;
  }
  m_state->wake.notify_all();
  m_state->thread.join();
}

void CReadiness::Check(Answer answer) {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->waiting.push_back(
        {std::chrono::steady_clock::now() + m_state->limit, std::move(answer)});
  }
  m_state->wake.notify_all();
}

namespace {

std::string PathOf(const std::string& target) { return target.substr(0, target.find('?')); }

}  // namespace

COperatorEndpoints::COperatorEndpoints(CHttpHandler* service, CReadiness& readiness)
    : m_service(service), m_readiness(readiness) {}

std::string COperatorEndpoints::RouteName(const std::string& target) const {
  const std::string path = PathOf(target);
  if (path == "/healthz" || path == "/readyz" || (!m_service && path == "/metrics")) return path;
  return m_service ? m_service->RouteName(target) : "other";
}

size_t COperatorEndpoints::BodyLimit(std::string_view target) const {
  return m_service ? m_service->BodyLimit(target) : CHttpHandler::BodyLimit(target);
}

CHttpResponse COperatorEndpoints::BodyTooLarge(std::string_view target) const {
  return m_service ? m_service->BodyTooLarge(target) : CHttpHandler::BodyTooLarge(target);
}

void COperatorEndpoints::Handle(const CHttpRequest& request, Reply reply) {
  const std::string path = PathOf(request.target);
  const bool ours = path == "/healthz" || path == "/readyz" || (!m_service && path == "/metrics");
  if (!ours) {
    if (m_service) return m_service->Handle(request, std::move(reply));
    return reply(TextResponse(404, "This listener serves /metrics, /healthz and /readyz.\n"));
  }
  const bool head = request.method == "HEAD";
  if (request.method != "GET" && !head) {
    CHttpResponse response = TextResponse(405, "Use GET or HEAD.\n");
    response.fields.emplace_back("Allow", "GET, HEAD");
    return reply(std::move(response));
  }
  if (path == "/healthz") {
    CHttpResponse response = TextResponse(200, "ok\n");
    response.omitBody = head;
    return reply(std::move(response));
  }
  if (path == "/metrics") {
    CHttpResponse response = TextResponse(200, Metrics().Exposition());
    response.fields.clear();
    response.fields.emplace_back("Content-Type", "text/plain; version=0.0.4; charset=utf-8");
    response.fields.emplace_back("Cache-Control", "no-store");
    response.omitBody = head;
    return reply(std::move(response));
  }
  m_readiness.Check([reply = std::move(reply), head](bool ready, const std::string& reason) {
    CHttpResponse response = TextResponse(ready ? 200 : 503, ready ? "ready\n" : reason + "\n");
    response.omitBody = head;
    reply(std::move(response));
  });
}
