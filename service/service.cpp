// The signature service's answers to every request: reports, images, state and registration.
#include "service.h"

#include <cctype>
#include <cstdio>

#include "http_cache.h"

namespace {

constexpr std::string_view kReportPaths[] = {"/signature/generate/", "/signature/generate"};
constexpr std::string_view kSignaturePrefix = "/signature/";

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

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

CSignatureService::CSignatureService(CStore& store, const CClock& clock, CServiceOptions options)
    : store_(store),
      clock_(clock),
      options_(std::move(options)),
      startedAt_(clock.WallSeconds()),
      accounts_(store, clock, options_.minReportIntervalMs),
      images_(options_.imageCacheBytes),
      noAccountImage_(MessageImage(CSignatureView::EKind::kNoAccount)),
      unavailableImage_(MessageImage(CSignatureView::EKind::kUnavailable)),
      verifier_(options_.keyCheckThreads, options_.maxPendingKeyChecks) {}

CSignatureService::~CSignatureService() { store_.Flush(); }

std::shared_ptr<const CImage> CSignatureService::MessageImage(CSignatureView::EKind kind) {
  CSignatureView view;
  view.kind = kind;
  auto image = std::make_shared<CImage>();
  image->png = renderer_.RenderPng(view);
  image->etag = MakeEntityTag(image->png);
  image->lastModified = startedAt_;
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
  for (std::string_view reportPath : kReportPaths) {
    if (path == reportPath) return HandleReport(request, std::move(reply));
  }
  if (path == "/user/register") return HandleRegister(request, std::move(reply));
  if (path.substr(0, kSignaturePrefix.size()) == kSignaturePrefix) {
    const std::string_view file = path.substr(kSignaturePrefix.size());
    if (EndsWith(file, ".png")) return reply(HandleImage(request, file.substr(0, file.size() - 4)));
    if (EndsWith(file, ".json"))
      return reply(HandleState(request, file.substr(0, file.size() - 5)));
  }
  if (path == "/") {
    CHttpResponse response = TextResponse(302, "See /user/register\n");
    response.fields.emplace_back("Location", "/user/register");
    return reply(std::move(response));
  }
  reply(TextResponse(404,
                     "Nothing here. Reports go to /signature/generate/, images are "
                     "/signature/<user>.png, accounts are made at /user/register.\n"));
}

std::string CSignatureService::PublicUrl(const CHttpRequest& request) const {
  if (!options_.publicUrl.empty()) return options_.publicUrl;
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
