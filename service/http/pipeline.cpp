// The pipeline every request passes, written once: routing, HTTPS redirect, database deadline and
// fallback, body limits, access log and metrics.
#include "http/pipeline.h"

#include <cctype>

#include "base/log.h"
#include "base/metrics.h"

namespace {

// Threads for database work: as many as the store has look-up connections, so that they seldom
// wait for one another. Jobs waiting beyond the bound get their fallback answer at once.
constexpr size_t kDatabaseThreads = 8;
constexpr size_t kMaxDatabaseJobs = 4096;

CFamily<CCounter>& requestCounts = Metrics().Counter(
    "velk_http_requests_total", "Requests answered, by route and status", {"route", "status"});
CFamily<CHistogram>& requestDurations = Metrics().Histogram(
    "velk_http_request_duration_seconds",
    "From a request's first byte to its answer's last byte, by route", {"route"});
CCounter& responseBytes =
    Metrics().Counter("velk_http_response_bytes_total", "Bytes of answer bodies sent").Get();

bool IsAbsoluteForm(std::string_view target) {
  auto startsWith = [&](std::string_view scheme) {
    if (target.size() < scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(target[i])) != scheme[i]) return false;
    }
    return true;
  };
  return startsWith("http://") || startsWith("https://");
}

// "http://host/path?query" -> "/path?query"; "http://host?query" -> "/?query".
std::string OriginForm(std::string_view target) {
  const std::string_view rest = target.substr(target.find("//") + 2);
  const size_t path = rest.find_first_of("/?");
  if (path == std::string_view::npos) return "/";
  if (rest[path] == '?') return "/" + std::string(rest.substr(path));
  return std::string(rest.substr(path));
}

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

bool CRoute::NeedsDatabase(const CHttpRequest& request) const {
  return database == EDatabase::kAlways ||
         (database == EDatabase::kOnPost && request.method == "POST");
}

bool CRoute::Matches(std::string_view path, std::string_view* name) const {
  if (!wildcard) return path == prefix;
  if (path.size() < prefix.size() + suffix.size() || path.substr(0, prefix.size()) != prefix ||
      path.substr(path.size() - suffix.size()) != suffix) {
    return false;
  }
  *name = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  return true;
}

std::string CRoute::Label() const { return wildcard ? prefix + "{user}" + suffix : prefix; }

CPipeline::CPipeline(const CClock& clock, std::vector<CRoute> routes, CPipelineOptions options)
    : m_routes(std::move(routes)), m_options(std::move(options)) {
  if (m_options.databaseMayHang) {
    m_databaseWork = std::make_unique<CDeadlineWork>(clock, kDatabaseThreads, kMaxDatabaseJobs,
                                                     m_options.databaseWaitMs);
  }
}

CPipeline::~CPipeline() = default;

const CRoute* CPipeline::Find(std::string_view target, std::string_view* name) const {
  const std::string_view path = PathOf(target);
  for (const CRoute& route : m_routes) {
    if (route.Matches(path, name)) return &route;
  }
  return nullptr;
}

void CPipeline::Handle(const CHttpRequest& request, Reply reply) {
  if (IsAbsoluteForm(request.target)) {
    // A request made through a proxy names the whole URL; its path and query are what count.
    CHttpRequest origin = request;
    origin.target = OriginForm(request.target);
    return Handle(origin, std::move(reply));
  }
  std::string_view name;
  const CRoute* route = Find(request.target, &name);
  if (!route) return reply(TextResponse(404, m_options.notFound));
  if (route->kind == CRoute::EKind::kPage && !m_options.httpsUrl.empty() &&
      !CameOverHttps(request)) {
    const std::string location = m_options.httpsUrl + request.target;
    CHttpResponse response = TextResponse(301, "See " + location + "\n");
    response.fields.emplace_back("Location", location);
    return reply(std::move(response));
  }
  if (!m_databaseWork || !route->NeedsDatabase(request)) {
    return route->handle(request, name, std::move(reply));
  }
  // What memory holds current needs no database thread.
  if (route->fromMemory) {
    struct CBound : CRoute::CDeadline {
      const CPipeline& pipeline;
      const CRoute& route;
      const CHttpRequest& request;
      std::string_view name;
      CBound(const CPipeline& p, const CRoute& r, const CHttpRequest& q, std::string_view n)
          : pipeline(p), route(r), request(q), name(n) {}
      bool Bind(Reply& held) const override { return pipeline.Bind(route, request, name, held); }
    };
    if (route->fromMemory(request, name, reply, CBound(*this, *route, request, name))) return;
  }
  Defer(*route, request, name, std::move(reply));
}

void CPipeline::Defer(const CRoute& route, const CHttpRequest& request, std::string_view name,
                      Reply reply) {
  auto ticket = std::make_shared<CDeadlineWork::CTicket>();
  auto once = std::make_shared<Reply>(std::move(reply));
  auto held = std::make_shared<const CHttpRequest>(request);
  const std::string nameText(name);
  const CRoute* const taken = &route;
  Reply answer = [ticket, once](CHttpResponse response) {
    if (ticket->Take()) (*once)(std::move(response));
  };
  auto job = [taken, held, nameText, answer = std::move(answer)] {
    taken->handle(*held, nameText, answer);
  };
  auto late = [taken, held, nameText, once] { (*once)(taken->late(*held, nameText)); };
  if (!m_databaseWork->Submit(ticket, std::move(job), late) && ticket->Take()) late();
}

bool CPipeline::Bind(const CRoute& route, const CHttpRequest& request, std::string_view name,
                     Reply& reply) const {
  auto ticket = std::make_shared<CDeadlineWork::CTicket>();
  auto once = std::make_shared<Reply>(std::move(reply));
  auto late = [&route, once, held = request, nameText = std::string(name)] {
    (*once)(route.late(held, nameText));
  };
  if (!m_databaseWork->Watch(ticket, std::move(late))) {
    reply = std::move(*once);
    return false;
  }
  reply = [ticket, once](CHttpResponse response) {
    if (ticket->Take()) (*once)(std::move(response));
  };
  return true;
}

size_t CPipeline::BodyLimit(std::string_view target) const {
  std::string_view name;
  const CRoute* route = Find(IsAbsoluteForm(target) ? OriginForm(target) : target, &name);
  return route ? route->bodyLimit : kMaxBodyBytes;
}

CHttpResponse CPipeline::BodyTooLarge(std::string_view target) const {
  std::string_view name;
  const std::string origin = IsAbsoluteForm(target) ? OriginForm(target) : std::string(target);
  const CRoute* route = Find(origin, &name);
  if (route && route->tooLarge) return route->tooLarge(route->bodyLimit);
  return CHttpHandler::BodyTooLarge(target);
}

std::string CPipeline::RouteName(const std::string& target) const {
  std::string_view name;
  const std::string origin = IsAbsoluteForm(target) ? OriginForm(target) : target;
  const CRoute* route = Find(origin, &name);
  return route ? route->Label() : "other";
}

void CPipeline::Answered(const CAccessRecord& answered) {
  if (m_options.accessLog) LogAccess(answered);
  if (!m_options.requestMetrics) return;
  const std::string route =
      answered.method.empty() ? "refused" : RouteName(std::string(answered.target));
  requestCounts.With({route, std::to_string(answered.status)}).Add();
  requestDurations.With({route}).Observe(answered.seconds);
  responseBytes.Add(answered.bytes);
}
