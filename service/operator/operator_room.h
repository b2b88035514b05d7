// What operators ask of a running service: /healthz and /readyz, and /metrics on a listener of
// its own.
#pragma once

#include <optional>
#include <vector>

#include "http/pipeline.h"
#include "operator/readiness.h"

class COperatorRoom {
 public:
  // `readiness` must outlive the room.
  explicit COperatorRoom(CReadiness& readiness);

  // GET and HEAD of /healthz (the process answers: always 200) and /readyz (200 when the
  // readiness check passes, else 503 with the reason); `withMetrics` adds /metrics, in
  // Prometheus' text format. None needs the database thread: readiness bounds its own wait.
  std::vector<CRoute> Routes(bool withMetrics);

 private:
  // The answer to a method other than GET and HEAD, else null.
  static std::optional<CHttpResponse> WrongMethod(const CHttpRequest& request);
  void Ready(const CHttpRequest& request, CRoute::Reply reply);

  CReadiness& m_readiness;
};
