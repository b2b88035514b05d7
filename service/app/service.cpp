// The signature service's answers to every request: reports, images, state and registration.
#include "app/service.h"

#include <cctype>
#include <cstdio>

#include "http/cache.h"

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

}  // namespace

struct CSignatureService::CRoute {
  std::string_view prefix;
  std::string_view suffix;  // with `wildcard`: what the path ends with
  bool wildcard;            // false: the path is `prefix` exactly; true: prefix, name, suffix
  void (CSignatureService::*handle)(const CHttpRequest&, std::string_view, Reply);

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
    {"/signature/generate/", "", false, &CSignatureService::HandleReport},
    {"/signature/generate", "", false, &CSignatureService::HandleReport},
    {"/user/register", "", false, &CSignatureService::HandleRegister},
    {"/account", "", false, &CSignatureService::HandleAccount},
    {"/account/signin", "", false, &CSignatureService::HandleSignIn},
    {"/account/signout", "", false, &CSignatureService::HandleSignOut},
    {"/account/settings", "", false, &CSignatureService::HandleSettings},
    {"/account/key", "", false, &CSignatureService::HandleNewKey},
    {"/account/delete", "", false, &CSignatureService::HandleDelete},
    {"/account/preview.png", "", false, &CSignatureService::HandlePreview},
    {"/signature/", ".png", true, &CSignatureService::HandleImage},
    {"/signature/", ".json", true, &CSignatureService::HandleState},
    {"/", "", false, &CSignatureService::HandleHome},
};

CSignatureService::CSignatureService(CStore& store, const CClock& clock, CServiceOptions options)
    : m_store(store),
      m_clock(clock),
      m_options(std::move(options)),
      m_startedAt(clock.WallSeconds()),
      m_accounts(store, clock, {m_options.minReportIntervalMs, m_options.wrongKeysPerMinute}),
      m_images(m_options.imageCacheBytes),
      m_noAccountImage(MessageImage(CSignatureView::EKind::kNoAccount)),
      m_unavailableImage(MessageImage(CSignatureView::EKind::kUnavailable)),
      m_registrations(clock, m_options.registrationsPerHour, 3600 * 1000),
      m_sessions(clock, m_options.maxSessions),
      m_slowWork(m_options.keyCheckThreads, m_options.maxPendingKeyChecks) {}

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
  for (const CRoute& route : kRoutes) {
    std::string_view name;
    if (route.Matches(path, &name)) return (this->*route.handle)(request, name, std::move(reply));
  }
  reply(TextResponse(404,
                     "Nothing here. Reports go to /signature/generate/, images are "
                     "/signature/<user>.png, accounts are made at /user/register.\n"));
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

std::string CSignatureService::PublicUrl(const CHttpRequest& request) const {
  if (!m_options.publicUrl.empty()) return m_options.publicUrl;
  bool usable = !request.host.empty() && request.host.size() <= 255;
  for (char c : request.host) usable = usable && IsHostChar(c);
  return "http://" + (usable ? request.host : std::string("localhost"));
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
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
