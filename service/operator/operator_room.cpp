// What operators ask of a running service: /healthz, /readyz and /metrics.
#include "operator/operator_room.h"

#include "base/metrics.h"

COperatorRoom::COperatorRoom(CReadiness& readiness) : m_readiness(readiness) {}

std::optional<CHttpResponse> COperatorRoom::WrongMethod(const CHttpRequest& request) {
  if (request.method == "GET" || request.method == "HEAD") return std::nullopt;
  CHttpResponse response = TextResponse(405, "Use GET or HEAD.\n");
  response.fields.emplace_back("Allow", "GET, HEAD");
  return response;
}

void COperatorRoom::Ready(const CHttpRequest& request, CRoute::Reply reply) {
  if (auto refused = WrongMethod(request)) return reply(std::move(*refused));
  const bool head = request.method == "HEAD";
  m_readiness.Check([reply = std::move(reply), head](bool ready, const std::string& reason) {
    CHttpResponse response = TextResponse(ready ? 200 : 503, ready ? "ready\n" : reason + "\n");
    response.omitBody = head;
    reply(std::move(response));
  });
}

std::vector<CRoute> COperatorRoom::Routes(bool withMetrics) {
  CRoute health;
  health.prefix = "/healthz";
  health.handle = [](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    if (auto refused = WrongMethod(request)) return reply(std::move(*refused));
    CHttpResponse response = TextResponse(200, "ok\n");
    response.omitBody = request.method == "HEAD";
    reply(std::move(response));
  };
  CRoute ready;
  ready.prefix = "/readyz";
  ready.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    Ready(request, std::move(reply));
  };
  std::vector<CRoute> routes = {std::move(health), std::move(ready)};
  if (!withMetrics) return routes;
  CRoute metrics;
  metrics.prefix = "/metrics";
  metrics.handle = [](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    if (auto refused = WrongMethod(request)) return reply(std::move(*refused));
    CHttpResponse response = TextResponse(200, Metrics().Exposition());
    response.fields.clear();
    response.fields.emplace_back("Content-Type", "text/plain; version=0.0.4; charset=utf-8");
    response.fields.emplace_back("Cache-Control", "no-store");
    response.omitBody = request.method == "HEAD";
    reply(std::move(response));
  };
  routes.push_back(std::move(metrics));
  return routes;
}
