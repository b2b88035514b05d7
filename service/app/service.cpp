// The signature service's answers to every request: reports, images, state and registration.
#include "app/service.h"

#include <cctype>
#include <cstdio>

#include "app/account_page.h"
#include "http/cache.h"
#include "pages/pages.h"

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == ':' || c == '[' || c == ']';
}

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

// Whether `path` is one of the pages people use, as opposed to reports, images and state.
bool IsPagePath(std::string_view path) {
  return path == "/" || path == "/user/register" || path == "/account" ||
         path.substr(0, 9) == "/account/";
}

}  // namespace

struct CSignatureService::CRoute {
  enum class EDatabase { kNever, kAlways, kOnPost };  // whether its answer may need the database
  std::string_view prefix;
  std::string_view suffix;  // with `wildcard`: what the path ends with
  bool wildcard;            // false: the path is `prefix` exactly; true: prefix, name, suffix
  void (CSignatureService::*handle)(const CHttpRequest&, std::string_view, Reply);
  EDatabase database;
  // The answer when the database does not give one in time.
  CHttpResponse (CSignatureService::*late)(const CHttpRequest&, std::string_view);

  bool NeedsDatabase(const CHttpRequest& request) const {
    return database == EDatabase::kAlways ||
           (database == EDatabase::kOnPost && request.method == "POST");
  }

  // Whether `path` takes this route; `*name` receives the part between prefix and suffix.
  bool Matches(std::string_view path, std::string_view* name) const {
    if (!wildcard) return path == prefix;
    if (path.size() < prefix.size() + suffix.size() || path.substr(0, prefix.size()) != prefix ||
        path.substr(path.size() - suffix.size()) != suffix) {
      return false;
    }
    *name = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    return true;
  }
};

const CSignatureService::CRoute CSignatureService::kRoutes[] = {
    {"/signature/generate/", "", false, &CSignatureService::HandleReport,
     CRoute::EDatabase::kAlways, &CSignatureService::LateReport},
    {"/signature/generate", "", false, &CSignatureService::HandleReport, CRoute::EDatabase::kAlways,
     &CSignatureService::LateReport},
    {"/user/register", "", false, &CSignatureService::HandleRegister, CRoute::EDatabase::kOnPost,
     &CSignatureService::LateRegister},
    {"/account", "", false, &CSignatureService::HandleAccount, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/account/signin", "", false, &CSignatureService::HandleSignIn, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/account/signout", "", false, &CSignatureService::HandleSignOut, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/account/settings", "", false, &CSignatureService::HandleSettings, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/account/key", "", false, &CSignatureService::HandleNewKey, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/account/delete", "", false, &CSignatureService::HandleDelete, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/account/preview.png", "", false, &CSignatureService::HandlePreview,
     CRoute::EDatabase::kAlways, &CSignatureService::LateText},
    {"/signature/", ".png", true, &CSignatureService::HandleImage, CRoute::EDatabase::kAlways,
     &CSignatureService::LateImage},
    {"/signature/", ".json", true, &CSignatureService::HandleState, CRoute::EDatabase::kAlways,
     &CSignatureService::LateText},
    {"/account/token", "", false, &CSignatureService::HandleNewToken, CRoute::EDatabase::kAlways,
     &CSignatureService::LatePage},
    {"/1/submit-listens", "", false, &CSignatureService::HandleSubmitListens,
     CRoute::EDatabase::kAlways, &CSignatureService::LateListenBrainz},
    {"/1/validate-token", "", false, &CSignatureService::HandleValidateToken,
     CRoute::EDatabase::kAlways, &CSignatureService::LateListenBrainz},
    {"/audioscrobbler/", "", false, &CSignatureService::HandleScrobbleHandshake,
     CRoute::EDatabase::kAlways, &CSignatureService::LateScrobbler},
    {"/audioscrobbler", "", false, &CSignatureService::HandleScrobbleHandshake,
     CRoute::EDatabase::kAlways, &CSignatureService::LateScrobbler},
    {"/audioscrobbler/nowplaying", "", false, &CSignatureService::HandleScrobbleNowPlaying,
     CRoute::EDatabase::kAlways, &CSignatureService::LateScrobbler},
    {"/audioscrobbler/submit", "", false, &CSignatureService::HandleScrobbleSubmission,
     CRoute::EDatabase::kAlways, &CSignatureService::LateScrobbler},
    {"/static/velk.css", "", false, &CSignatureService::HandleStatic, CRoute::EDatabase::kNever,
     nullptr},
    {"/static/velk.js", "", false, &CSignatureService::HandleStatic, CRoute::EDatabase::kNever,
     nullptr},
    {"/", "", false, &CSignatureService::HandleHome, CRoute::EDatabase::kNever, nullptr},
};

namespace {
// Threads for database work: as many as the store has look-up connections, so that they seldom
// wait for one another. Jobs waiting beyond the bound get their fallback answer at once.
constexpr size_t kDatabaseThreads = 8;
constexpr size_t kMaxDatabaseJobs = 4096;
}  // namespace

CSignatureService::CSignatureService(CStore& store, const CClock& clock, CServiceOptions options)
    : m_store(store),
      m_clock(clock),
      m_options(std::move(options)),
      m_startedAt(clock.WallSeconds()),
      m_accounts(store, clock, {m_options.minReportIntervalMs, m_options.wrongKeysPerMinute}),
      m_images(m_options.imageCacheBytes),
      m_previews(m_options.previewCacheBytes),
      m_previewsUnderWay(m_options.previewsPerSession, m_options.previewsWaiting),
      m_noAccountImage(MessageImage(CSignatureView::EKind::kNoAccount)),
      m_unavailableImage(MessageImage(CSignatureView::EKind::kUnavailable)),
      m_registrations(clock, m_options.registrationsPerHour, 3600 * 1000),
      m_sessions(store, clock, m_options.sessionsPerAccount),
      m_flashes(clock, store.SharedSecret()),
      m_renderWork(1, m_options.maxPendingRenders),
      m_slowWork(m_options.keyCheckThreads, m_options.maxPendingKeyChecks) {
  if (store.Shared()) {
    m_databaseWork =
        std::make_unique<CDeadlineWork>(clock, kDatabaseThreads, kMaxDatabaseJobs, kDatabaseWaitMs);
  }
}

CSignatureService::~CSignatureService() { m_store.Flush(); }

std::shared_ptr<const CImage> CSignatureService::MessageImage(CSignatureView::EKind kind) {
  CSignatureView view;
  view.kind = kind;
  auto image = std::make_shared<CImage>();
  image->png = m_renderer.RenderPng(view);
  image->etag = MakeEntityTag(image->png);
  image->lastModified = m_startedAt;
  return image;
}

void CSignatureService::Handle(const CHttpRequest& request, Reply reply) {
  if (IsAbsoluteForm(request.target)) {
    // A request made through a proxy names the whole URL; its path and query are what count.
    CHttpRequest origin = request;
    origin.target = OriginForm(request.target);
    return Handle(origin, std::move(reply));
  }
  const std::string_view target = request.target;
  const std::string_view path = target.substr(0, target.find('?'));
  if (!m_options.httpsUrl.empty() && IsPagePath(path) && !CameOverHttps(request)) {
    const std::string location = m_options.httpsUrl + request.target;
    CHttpResponse response = TextResponse(301, "See " + location + "\n");
    response.fields.emplace_back("Location", location);
    return reply(std::move(response));
  }
  for (const CRoute& route : kRoutes) {
    std::string_view name;
    if (!route.Matches(path, &name)) continue;
    if (m_databaseWork && route.NeedsDatabase(request)) {
      // What memory holds current needs no database thread.
      if (route.handle == &CSignatureService::HandleImage && ImageFromMemory(request, name, reply))
        return;
      if (route.handle == &CSignatureService::HandleReport && ReportFromMemory(request, reply))
        return;
      return Defer(route, request, name, std::move(reply));
    }
    return (this->*route.handle)(request, name, std::move(reply));
  }
  reply(TextResponse(404,
                     "Nothing here. Reports go to /signature/generate/, images are "
                     "/signature/<user>.png, accounts are made at /user/register.\n"));
}

void CSignatureService::Defer(const CRoute& route, const CHttpRequest& request,
                              std::string_view name, Reply reply) {
  auto ticket = std::make_shared<CDeadlineWork::CTicket>();
  auto once = std::make_shared<Reply>(std::move(reply));
  auto held = std::make_shared<const CHttpRequest>(request);
  const std::string nameText(name);
  const CRoute* const taken = &route;
  Reply answer = [ticket, once](CHttpResponse response) {
    if (ticket->Take()) (*once)(std::move(response));
  };
  auto job = [this, taken, held, nameText, answer = std::move(answer)] {
    (this->*taken->handle)(*held, nameText, answer);
  };
  auto late = [this, taken, held, nameText, once] {
    (*once)((this->*taken->late)(*held, nameText));
  };
  if (!m_databaseWork->Submit(ticket, std::move(job), late) && ticket->Take()) late();
}

CHttpResponse CSignatureService::LateReport(const CHttpRequest&, std::string_view) {
  return TextResponse(503,
                      "The database did not answer in time; the report may not have been "
                      "stored. Send it again later.\n");
}

CHttpResponse CSignatureService::LateText(const CHttpRequest&, std::string_view) {
  return TextResponse(503, "The service cannot reach its database.\n");
}

CHttpResponse CSignatureService::LatePage(const CHttpRequest&, std::string_view) {
  CHttpResponse response = HtmlResponse(503, NoDatabasePageHtml());
  response.fields.emplace_back("X-Frame-Options", "DENY");
  response.fields.emplace_back("Content-Security-Policy", kUnframedPagePolicy);
  return response;
}

std::string CSignatureService::RouteName(const std::string& target) const {
  const std::string origin = IsAbsoluteForm(target) ? OriginForm(target) : target;
  const std::string_view path = std::string_view(origin).substr(0, origin.find('?'));
  for (const CRoute& route : kRoutes) {
    std::string_view name;
    if (!route.Matches(path, &name)) continue;
    std::string label(route.prefix);
    if (route.wildcard) label += "{user}" + std::string(route.suffix);
    return label;
  }
  return "other";
}

void CSignatureService::HandleHome(const CHttpRequest&, std::string_view, Reply reply) {
  CHttpResponse response = TextResponse(302, "See /user/register\n");
  response.fields.emplace_back("Location", "/user/register");
  reply(std::move(response));
}

void CSignatureService::HandleStatic(const CHttpRequest& request, std::string_view, Reply reply) {
  const std::string_view target = request.target;
  reply(StaticFileResponse(request, target.substr(0, target.find('?'))));
}

std::string CSignatureService::PublicUrl(const CHttpRequest& request) const {
  if (!m_options.publicUrl.empty()) return m_options.publicUrl;
  bool usable = !request.host.empty() && request.host.size() <= 255;
  for (char c : request.host) usable = usable && IsHostChar(c);
  return "http://" + (usable ? request.host : std::string("localhost"));
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20 || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}
