// What the people's rooms share: sessions, the forms' tokens, the sign-in and account pages.
#include "people/people_pages.h"

#include <cctype>

#include "base/log.h"
#include "http/form_decode.h"
#include "render/code_page.h"
#include "images/signature_view.h"
#include "pages/account_page.h"

namespace {

// The host name of a Host field or of a URL's origin ("scheme://host[:port]"), in lower case.
std::string HostName(std::string_view where) {
  const size_t scheme = where.find("://");
  if (scheme != std::string_view::npos) where.remove_prefix(scheme + 3);
  // An IPv6 address stays in its brackets; otherwise the port or a path ends the name.
  const bool bracketed = !where.empty() && where.front() == '[';
  const size_t bracket = bracketed ? where.find(']') : std::string_view::npos;
  where =
      where.substr(0, bracket != std::string_view::npos ? bracket + 1 : where.find_first_of(":/"));
  std::string host(where);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host;
}

}  // namespace

CHttpResponse Redirect(const std::string& location) {
  CHttpResponse response = TextResponse(303, "See " + location + "\n");
  response.fields.emplace_back("Location", location);
  return response;
}

CHttpResponse PageResponse(int status, std::string html) {
  CHttpResponse response = HtmlResponse(status, std::move(html));
  response.fields.emplace_back("X-Frame-Options", "DENY");
  response.fields.emplace_back("Content-Security-Policy", kUnframedPagePolicy);
  response.fields.emplace_back("Cache-Control", "no-store");
  return response;
}

std::string_view QueryOf(std::string_view target) {
  const size_t question = target.find('?');
  return question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
}

std::string FormValue(const std::vector<CFormField>& fields, std::string_view name) {
  std::string value;
  FindFormValue(fields, name, &value);
  return value;
}

const char* ParseLook(const std::vector<CFormField>& fields, CSignatureStyle* style,
                      int* codePage) {
  if (!ParseTemplate(FormValue(fields, "template"), &style->layout)) return "template";
  if (!ParseTheme(FormValue(fields, "theme"), &style->theme)) return "theme";
  const std::string mode = FormValue(fields, "accent_mode");
  style->accent = -1;
  if (mode == "own") {
    if (!ParseAccent(FormValue(fields, "accent"), &style->accent)) return "accent";
  } else if (mode != "theme") {
    return "accent_mode";
  }
  style->showAlbum = FormValue(fields, "album") == "1";
  style->showYear = FormValue(fields, "year") == "1";
  style->showGenre = FormValue(fields, "genre") == "1";
  *codePage = ParseCodePageNumber(FormValue(fields, "codepage"));
  return FindCodePage(*codePage) ? nullptr : "codepage";
}

CHttpResponse NoDatabasePage() { return PageResponse(503, NoDatabasePageHtml()); }

CRoute PageRoute(const char* path, CRoute::Handler handle) {
  CRoute route;
  route.prefix = path;
  route.kind = CRoute::EKind::kPage;
  route.database = CRoute::EDatabase::kAlways;
  route.handle = std::move(handle);
  route.late = [](const CHttpRequest&, std::string_view) { return NoDatabasePage(); };
  return route;
}

CPeoplePages::CPeoplePages(CHeldAccounts& held, CSessions& sessions, CFlashes& flashes,
                           std::string publicUrl, std::string httpsUrl)
    : m_held(held),
      m_sessions(sessions),
      m_flashes(flashes),
      m_publicUrl(std::move(publicUrl)),
      m_httpsUrl(std::move(httpsUrl)) {}

std::string CPeoplePages::PublicUrlOf(const CHttpRequest& request) const {
  return PublicUrl(request, m_publicUrl);
}

std::string CPeoplePages::FormToken(const CHttpRequest& request, std::string* setCookie) const {
  std::string nonce = CookieValue(request.cookie, kSignInCookie);
  if (nonce.size() != 48) {
    nonce = CSessions::NewNonce();
    *setCookie = CookieField(kSignInCookie, nonce, CameOverHttps(request));
  }
  return m_sessions.SignInToken(nonce);
}

bool CPeoplePages::FromOwnForm(const CHttpRequest& request, std::string_view csrf) const {
  const std::string nonce = CookieValue(request.cookie, kSignInCookie);
  if (nonce.empty() || !SameText(csrf, m_sessions.SignInToken(nonce))) return false;
  // The browser's own word, where it gives it; an opaque origin ("null") is another site's.
  if (request.fetchSite == "cross-site") return false;
  if (request.origin.empty()) return true;
  if (request.origin.find("://") == std::string::npos) return false;
  const std::string origin = HostName(request.origin);
  for (const std::string* own : {&request.host, &m_publicUrl, &m_httpsUrl}) {
    if (!own->empty() && HostName(*own) == origin) return true;
  }
  return false;
}

std::optional<CAccountSession> CPeoplePages::SessionOf(const CHttpRequest& request) {
  return m_sessions.Find(CookieValue(request.cookie, kSessionCookie));
}

std::optional<CAccountSession> CPeoplePages::FormSession(const CHttpRequest& request,
                                                         CRoute::Reply& reply) {
  if (request.method != "POST") {
    CHttpResponse response = TextResponse(405, "Allowed: POST\n");
    response.fields.emplace_back("Allow", "POST");
    reply(std::move(response));
    return std::nullopt;
  }
  std::optional<CAccountSession> session;
  try {
    session = SessionOf(request);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    reply(NoDatabasePage());
    return std::nullopt;
  }
  if (!session) {
    ShowSignIn(request, 401, "Please sign in again.", "", std::move(reply));
    return std::nullopt;
  }
  std::string csrf;
  FindFormValue(SplitForm(request.body), "csrf", &csrf);
  if (!SameText(csrf, session->csrf)) {
    reply(PageResponse(
        403,
        MessagePageHtml("form refused", "The form did not come from this account's page.", true)));
    return std::nullopt;
  }
  return session;
}

void CPeoplePages::ShowSignIn(const CHttpRequest& request, int status, const std::string& error,
                              const std::string& name, CRoute::Reply reply) {
  std::string setCookie;
  const std::string csrf = FormToken(request, &setCookie);
  CHttpResponse response = PageResponse(status, SignInPageHtml(error, name, csrf));
  if (!setCookie.empty()) response.fields.emplace_back("Set-Cookie", setCookie);
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}

void CPeoplePages::ShowAccount(const CHttpRequest& request, const CAccountSession& session,
                               int status, const std::string& notice, const std::string& key,
                               const std::string& setCookie, CRoute::Reply reply,
                               const std::string& playerToken) {
  std::optional<CAccountView> account;
  try {
    account = m_held.Find(session.nameKey);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return reply(NoDatabasePage());
  }
  if (!account) {
    // The session ended with its account; the store's cleaning removes it.
    return ShowSignIn(request, 401, "There is no such account any more.", "", std::move(reply));
  }
  CAccountPage page;
  page.name = account->name;
  page.csrf = session.csrf;
  page.publicUrl = PublicUrlOf(request);
  page.codePage = account->codePage;
  page.style = StyleOf(account->settings);
  page.notice = notice;
  page.error = status >= 400;
  page.key = key;
  page.playerToken = playerToken;
  page.hasPlayerToken = !account->tokenMd5.empty();
  page.sample = account->state.trackAt == 0;
  page.keepHistory = account->keepHistory;
  CHttpResponse response = PageResponse(status, AccountPageHtml(page));
  if (!setCookie.empty()) response.fields.emplace_back("Set-Cookie", setCookie);
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}

CHttpResponse CPeoplePages::RedirectWithFlash(const CHttpRequest& request, const CFlash& flash) {
  CHttpResponse response = Redirect("/account");
  response.fields.emplace_back(
      "Set-Cookie",
      CookieField(kFlashCookie, m_flashes.Put(flash), CameOverHttps(request)) + "; Max-Age=600");
  return response;
}
