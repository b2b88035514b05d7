// What operators ask of a running service: /healthz, /readyz and, on a listener of its own,
// /metrics.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "http/message.h"
#include "storage/store.h"

// Whether the store takes a write within a time limit. One check runs at a time, through the
// store's writer queue; the requests that arrive meanwhile share its outcome, so polling every
// second costs one small commit a second.
class CReadiness {
 public:
  using Answer = std::function<void(bool ready, const std::string& reason)>;
  // `store` must outlive the object.
  explicit CReadiness(CStore& store, std::chrono::milliseconds limit = std::chrono::seconds(1));
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

// The handler in front of the service on its listener, and alone on the metrics listener.
// Answers GET and HEAD of /healthz (the process answers: always 200) and /readyz (200 when the
// readiness check passes, else 503 with the reason); on the metrics listener also /metrics, in
// Prometheus' text format. Everything else goes to `service`, or gets 404 without one.
class COperatorEndpoints : public CHttpHandler {
 public:
  // `service` (null on the metrics listener) and `readiness` must outlive the object.
  COperatorEndpoints(CHttpHandler* service, CReadiness& readiness);

  void Handle(const CHttpRequest& request, Reply reply) override;
  std::string RouteName(const std::string& target) const override;
  // The service's body limits and their answers, so that its larger bodies pass this front.
  size_t BodyLimit(std::string_view target) const override;
  CHttpResponse BodyTooLarge(std::string_view target) const override;

 private:
  CHttpHandler* const m_service;
  CReadiness& m_readiness;
};
