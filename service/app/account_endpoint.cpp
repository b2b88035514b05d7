// The account page /account: sign-in, the signature's look with a live preview, the snippets,
// a new key, deletion and sign-out.
#include <cctype>
#include <memory>

#include "app/account_page.h"
#include "app/service.h"
#include "base/log.h"
#include "http/form_decode.h"
#include "pages/pages.h"
#include "render/code_page.h"

namespace {

CHttpResponse Redirect(const std::string& location) {
  CHttpResponse response = TextResponse(303, "See " + location + "\n");
  response.fields.emplace_back("Location", location);
  return response;
}

// The account page holds forms that act at once: no other site may frame it. It may show a key,
// so no cache keeps it.
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

std::string Value(const std::vector<CFormField>& fields, std::string_view name) {
  std::string value;
  FindFormValue(fields, name, &value);
  return value;
}

// The look and code page that a settings form or a preview query chose. Returns null when all
// are among those offered, else the name of the first field that is not.
const char* ParseLook(const std::vector<CFormField>& fields, CSignatureStyle* style,
                      int* codePage) {
  if (!ParseTemplate(Value(fields, "template"), &style->layout)) return "template";
  if (!ParseTheme(Value(fields, "theme"), &style->theme)) return "theme";
  const std::string mode = Value(fields, "accent_mode");
  style->accent = -1;
  if (mode == "own") {
    if (!ParseAccent(Value(fields, "accent"), &style->accent)) return "accent";
  } else if (mode != "theme") {
    return "accent_mode";
  }
  style->showAlbum = Value(fields, "album") == "1";
  style->showYear = Value(fields, "year") == "1";
  style->showGenre = Value(fields, "genre") == "1";
  *codePage = ParseCodePageNumber(Value(fields, "codepage"));
  return FindCodePage(*codePage) ? nullptr : "codepage";
}

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

std::string CSignatureService::FormToken(const CHttpRequest& request,
                                         std::string* setCookie) const {
  std::string nonce = CookieValue(request.cookie, kSignInCookie);
  if (nonce.size() != 48) {
    nonce = CSessions::NewNonce();
    *setCookie = CookieField(kSignInCookie, nonce, CameOverHttps(request));
  }
  return m_sessions.SignInToken(nonce);
}

bool CSignatureService::FromOwnForm(const CHttpRequest& request, std::string_view csrf) const {
  const std::string nonce = CookieValue(request.cookie, kSignInCookie);
  if (nonce.empty() || !SameText(csrf, m_sessions.SignInToken(nonce))) return false;
  // The browser's own word, where it gives it; an opaque origin ("null") is another site's.
  if (request.fetchSite == "cross-site") return false;
  if (request.origin.empty()) return true;
  if (request.origin.find("://") == std::string::npos) return false;
  const std::string origin = HostName(request.origin);
  for (const std::string* own : {&request.host, &m_options.publicUrl, &m_options.httpsUrl}) {
    if (!own->empty() && HostName(*own) == origin) return true;
  }
  return false;
}

std::optional<CAccountSession> CSignatureService::SessionOf(const CHttpRequest& request) {
  return m_sessions.Find(CookieValue(request.cookie, kSessionCookie));
}

std::optional<CAccountSession> CSignatureService::FormSession(const CHttpRequest& request,
                                                              Reply& reply) {
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
    reply(PageResponse(503, NoDatabasePageHtml()));
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

void CSignatureService::ShowSignIn(const CHttpRequest& request, int status,
                                   const std::string& error, const std::string& name, Reply reply) {
  std::string setCookie;
  const std::string csrf = FormToken(request, &setCookie);
  CHttpResponse response = PageResponse(status, SignInPageHtml(error, name, csrf));
  if (!setCookie.empty()) response.fields.emplace_back("Set-Cookie", setCookie);
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}

void CSignatureService::ShowAccount(const CHttpRequest& request, const CAccountSession& session,
                                    int status, const std::string& notice, const std::string& key,
                                    const std::string& setCookie, Reply reply,
                                    const std::string& playerToken) {
  std::optional<CAccounts::CView> account;
  try {
    account = m_accounts.Find(session.nameKey);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return reply(PageResponse(503, NoDatabasePageHtml()));
  }
  if (!account) {
    // The session ended with its account; the store's cleaning removes it.
    return ShowSignIn(request, 401, "There is no such account any more.", "", std::move(reply));
  }
  CAccountPage page;
  page.name = account->name;
  page.csrf = session.csrf;
  page.publicUrl = PublicUrl(request);
  page.codePage = account->codePage;
  page.style = StyleOf(account->settings);
  page.notice = notice;
  page.error = status >= 400;
  page.key = key;
  page.playerToken = playerToken;
  page.hasPlayerToken = !account->tokenMd5.empty();
  page.sample = account->state.trackAt == 0;
  CHttpResponse response = PageResponse(status, AccountPageHtml(page));
  if (!setCookie.empty()) response.fields.emplace_back("Set-Cookie", setCookie);
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}

void CSignatureService::HandleAccount(const CHttpRequest& request, std::string_view, Reply reply) {
  if (request.method != "GET" && request.method != "HEAD") {
    CHttpResponse response = TextResponse(405, "Allowed: GET, HEAD\n");
    response.fields.emplace_back("Allow", "GET, HEAD");
    return reply(std::move(response));
  }
  // What the form before the redirect did, shown by this GET only.
  std::optional<CFlash> flash;
  std::string clearFlash;
  const std::string flashId = CookieValue(request.cookie, kFlashCookie);
  if (!flashId.empty() && request.method == "GET") {
    flash = m_flashes.Take(flashId);
    clearFlash = CookieField(kFlashCookie, "", CameOverHttps(request));
  }
  std::optional<CAccountSession> session;
  try {
    session = SessionOf(request);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    return reply(PageResponse(503, NoDatabasePageHtml()));
  }
  if (!session) {
    if (!flash || flash->deleted.empty()) return ShowSignIn(request, 200, "", "", std::move(reply));
    CHttpResponse response = PageResponse(200, DeletedPageHtml(flash->deleted));
    response.fields.emplace_back("Set-Cookie", clearFlash);
    return reply(std::move(response));
  }
  if (flash && flash->sessionId != session->id) flash.reset();
  if (flash && !FirstShowing(*flash, session->nameKey)) flash.reset();
  std::string notice = flash ? flash->notice : "";
  if (notice.empty() && QueryOf(request.target) == "saved=1") {
    notice = "Saved. The signature shows the new look now.";
  }
  ShowAccount(request, *session, 200, notice, flash ? flash->key : "", clearFlash, std::move(reply),
              flash ? flash->playerToken : "");
}

bool CSignatureService::FirstShowing(CFlash& flash, const std::string& nameKey) {
  try {
    const int64_t nowMs = m_clock.WallMs();
    if (!m_store.UseOnce("flash " + flash.id, nowMs, nowMs + kFlashLifeMs)) return false;
    if (flash.key.empty()) return true;
    // A key replaced since the flash was sealed is not shown as the key in use.
    const std::optional<CAccounts::CView> account = m_accounts.Find(nameKey);
    if (!account || KeyFingerprint(account->keyHash) != flash.keyOf) {
      flash.key.clear();
      flash.notice.clear();
    }
    return true;
  } catch (const CStoreError& error) {
    LogRepeated("flash not checked", error.what());
    return false;
  }
}

CHttpResponse CSignatureService::RedirectWithFlash(const CHttpRequest& request,
                                                   const CFlash& flash) {
  CHttpResponse response = Redirect("/account");
  response.fields.emplace_back(
      "Set-Cookie",
      CookieField(kFlashCookie, m_flashes.Put(flash), CameOverHttps(request)) + "; Max-Age=600");
  return response;
}

void CSignatureService::SignIn(const CHttpRequest& request, const std::string& name,
                               const std::string& keyHash, Reply reply) {
  std::optional<CAccountSession> session;
  try {
    session = m_sessions.Create(NameKey(name), keyHash);
  } catch (const CStoreError& error) {
    LogRepeated("session not stored", error.what());
    return ShowSignIn(request, 503, "The service cannot reach its database; please try later.",
                      name, std::move(reply));
  }
  // The key changed, or the account went, since the key was checked.
  if (!session) return ShowSignIn(request, 403, "Wrong user name or key.", name, std::move(reply));
  CHttpResponse response = Redirect("/account");
  const bool secure = CameOverHttps(request);
  response.fields.emplace_back("Set-Cookie", CookieField(kSessionCookie, session->id, secure));
  response.fields.emplace_back("Set-Cookie", CookieField(kSignInCookie, "", secure));
  reply(std::move(response));
}

void CSignatureService::HandleSignIn(const CHttpRequest& request, std::string_view, Reply reply) {
  if (request.method != "POST") return reply(Redirect("/account"));
  const std::vector<CFormField> fields = SplitForm(request.body);
  const std::string name = Value(fields, "name");
  const std::string key = Value(fields, "key");
  if (!FromOwnForm(request, Value(fields, "csrf"))) {
    return ShowSignIn(request, 403, "The sign-in form had expired; please sign in again.", name,
                      std::move(reply));
  }
  // The same bounds as for the plug-in's reports: one slow check at a time per account, and
  // few failed ones per minute. A failure counts there and nowhere else.
  constexpr auto kSignIn = CAccounts::EKeyFrom::kSignIn;
  const CKeyDigest digest = DigestKey(key);
  std::string keyHash;
  CAccounts::EKeyCheck check;
  try {
    check = m_accounts.CheckKey(name, digest, IsWellFormedKey(key), &keyHash, kSignIn,
                                request.clientAddress);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return ShowSignIn(request, 503, "The service cannot reach its database; please try later.",
                      name, std::move(reply));
  }
  const std::string wrong = "Wrong user name or key.";
  switch (check) {
    case CAccounts::EKeyCheck::kNoAccount:
    case CAccounts::EKeyCheck::kWrong:
      return ShowSignIn(request, 403, wrong, name, std::move(reply));
    case CAccounts::EKeyCheck::kMatches:
      return SignIn(request, name, keyHash, std::move(reply));
    case CAccounts::EKeyCheck::kLimited:
    case CAccounts::EKeyCheck::kBusy: {
      const int64_t seconds = (m_accounts.KeyCheckRetryMs(request.clientAddress) + 999) / 1000;
      auto withRetry = [reply = std::move(reply), seconds](CHttpResponse response) {
        response.fields.emplace_back("Retry-After", std::to_string(seconds));
        reply(std::move(response));
      };
      return ShowSignIn(request, 429,
                        "Too many failed sign-ins from your address lately; please try again in " +
                            std::to_string(seconds) + " s.",
                        name, std::move(withRetry));
    }
    case CAccounts::EKeyCheck::kUnknown:
      break;
  }
  auto shared = std::make_shared<Reply>(std::move(reply));
  const bool queued = m_slowWork.Submit([this, request, name, key, digest, wrong, shared,
                                         keyHash = std::move(keyHash)] {
    bool matches = VerifyKey(keyHash, key);
    try {
      matches =
          m_accounts.RememberKeyCheck(name, digest, matches, true, kSignIn, request.clientAddress);
    } catch (const CStoreError&) {
      matches = false;
    }
    if (matches) return SignIn(request, name, keyHash, std::move(*shared));
    ShowSignIn(request, 403, wrong, name, std::move(*shared));
  });
  if (queued) return;
  try {
    m_accounts.RememberKeyCheck(name, digest, false, false);
  } catch (const CStoreError&) {
    // The reservation lives in memory, which the look-up found before; nothing to give back.
  }
  ShowSignIn(request, 503, "The service is busy; please try again in a minute.", name,
             std::move(*shared));
}

void CSignatureService::HandleSignOut(const CHttpRequest& request, std::string_view, Reply reply) {
  const std::optional<CAccountSession> session = FormSession(request, reply);
  if (!session) return;
  try {
    m_sessions.End(session->id);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    return reply(PageResponse(503, NoDatabasePageHtml()));
  }
  CHttpResponse response = Redirect("/account");
  response.fields.emplace_back("Set-Cookie",
                               CookieField(kSessionCookie, "", CameOverHttps(request)));
  reply(std::move(response));
}

void CSignatureService::HandleSettings(const CHttpRequest& request, std::string_view, Reply reply) {
  const std::optional<CAccountSession> session = FormSession(request, reply);
  if (!session) return;
  CSignatureStyle style;
  int codePage = 0;
  if (const char* bad = ParseLook(SplitForm(request.body), &style, &codePage)) {
    return ShowAccount(request, *session, 400,
                       std::string("Nothing was saved: \"") + bad +
                           "\" is not one of those offered; please pick a template, a theme, an "
                           "accent and a code page from the lists.",
                       "", "", std::move(reply));
  }
  auto shared = std::make_shared<Reply>(std::move(reply));
  auto failed = [this, request, session, shared](const std::string& error) {
    LogRepeated("account change not stored", error);
    ShowAccount(request, *session, 503, "The service could not save that; please try again later.",
                "", "", std::move(*shared));
  };
  // Settings, then the code page; each committed before the next, the answer after both.
  m_accounts.SaveSettings(
      session->nameKey, SettingsOf(style),
      [this, session, codePage, shared, failed](bool stored, const std::string& error) {
        if (!stored) return failed(error);
        m_accounts.SetCodePage(session->nameKey, codePage,
                               [shared, failed](bool stored, const std::string& error) {
                                 if (!stored) return failed(error);
                                 (*shared)(Redirect("/account?saved=1"));
                               });
      });
}

void CSignatureService::HandleNewKey(const CHttpRequest& request, std::string_view, Reply reply) {
  const std::optional<CAccountSession> session = FormSession(request, reply);
  if (!session) return;
  auto shared = std::make_shared<Reply>(std::move(reply));
  auto answer = [this, request, session, shared](bool stored, const std::string& key,
                                                 const std::string& keyHash) {
    if (!stored) {
      return ShowAccount(request, *session, 503,
                         "No new key was made; the old one still works. Please try again later.",
                         "", "", std::move(*shared));
    }
    // Whoever signed in with the old key was signed out with the commit; this page stays.
    (*shared)(RedirectWithFlash(
        request,
        {session->id, "The new key is in use: reports with the old key are refused from now on.",
         key, "", "", KeyFingerprint(keyHash), ""}));
  };
  // The slow hash runs on a pool thread, never on a network thread.
  const bool queued = m_slowWork.Submit([this, session, answer] {
    const std::string key = GenerateKey();
    std::string hash;
    try {
      hash = HashKey(key);
    } catch (const std::exception& error) {
      LogRepeated("key hash failed", error.what());
      return answer(false, "", "");
    }
    m_accounts.ReplaceKey(session->nameKey, hash, DigestKey(key), session->tokenHash,
                          [answer, key, hash](bool stored, const std::string& error) {
                            if (!stored) LogRepeated("account change not stored", error);
                            answer(stored, key, hash);
                          });
  });
  if (!queued) answer(false, "", "");
}

void CSignatureService::HandleDelete(const CHttpRequest& request, std::string_view, Reply reply) {
  const std::optional<CAccountSession> session = FormSession(request, reply);
  if (!session) return;
  std::string confirm;
  FindFormValue(SplitForm(request.body), "confirm", &confirm);
  if (NameKey(TrimBlanks(confirm)) != session->nameKey) {
    return ShowAccount(request, *session, 400,
                       "The account was not deleted: type its name exactly to confirm.", "", "",
                       std::move(reply));
  }
  std::optional<CAccounts::CView> account;
  try {
    account = m_accounts.Find(session->nameKey);
  } catch (const CStoreError&) {
  }
  const std::string name = account ? account->name : session->nameKey;
  auto shared = std::make_shared<Reply>(std::move(reply));
  m_accounts.Remove(session->nameKey, [this, request, session, name, shared](
                                          bool stored, const std::string& error) {
    if (!stored) {
      LogRepeated("account change not stored", error);
      return ShowAccount(request, *session, 503,
                         "The account was not deleted; please try again later.", "", "",
                         std::move(*shared));
    }
    CHttpResponse response = RedirectWithFlash(request, {"", "", "", name, "", "", ""});
    response.fields.emplace_back("Set-Cookie",
                                 CookieField(kSessionCookie, "", CameOverHttps(request)));
    (*shared)(std::move(response));
  });
}

void CSignatureService::HandlePreview(const CHttpRequest& request, std::string_view, Reply reply) {
  if (request.method != "GET" && request.method != "HEAD") {
    CHttpResponse response = TextResponse(405, "Allowed: GET, HEAD\n");
    response.fields.emplace_back("Allow", "GET, HEAD");
    return reply(std::move(response));
  }
  std::optional<CAccountSession> session;
  try {
    session = SessionOf(request);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    return reply(TextResponse(503, "The service cannot reach its database.\n"));
  }
  if (!session) return reply(TextResponse(403, "Sign in on /account to see a preview.\n"));
  CSignatureStyle style;
  int codePage = 0;
  if (const char* bad = ParseLook(SplitForm(QueryOf(request.target)), &style, &codePage)) {
    return reply(TextResponse(400, std::string("A preview needs a template, theme, accent and code "
                                               "page among those offered; \"") +
                                       bad + "\" is not.\n"));
  }
  std::optional<CAccounts::CView> account;
  try {
    account = m_accounts.Find(session->nameKey);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
  }
  if (!account) return reply(TextResponse(404, "There is no such account any more.\n"));
  account->codePage = codePage;
  CDrawJob job;
  job.view = ViewOf(*account, style, &job.variant, &job.lastModified);
  UseSampleTrackIfNone(&job.view);
  job.key =
      "preview:" + session->nameKey + '/' + std::to_string(codePage) + '/' + style.Fingerprint();
  job.cache = &m_previews;
  auto shared = std::make_shared<Reply>(std::move(reply));
  auto answer = [this, id = session->id, shared](std::shared_ptr<const CImage> image) {
    if (image) {
      CHttpResponse response;
      response.fields = {{"Content-Type", "image/png"}, {"Cache-Control", "no-store"}};
      response.body = std::shared_ptr<const std::string>(image, &image->png);
      (*shared)(std::move(response));
    } else {
      (*shared)(TextResponse(503, "The preview could not be drawn.\n"));
    }
    m_previewsUnderWay.End(id);
  };
  // One preview of a session is drawn at a time; the session's others wait for it, so a flood of
  // them waits on the flooder alone.
  const bool started = m_previewsUnderWay.Start(session->id, [this, job, answer]() mutable {
    if (auto cached = m_previews.Find(job.key, job.variant)) return answer(std::move(cached));
    Draw(std::move(job), std::move(answer));
  });
  if (!started) {
    CHttpResponse response = TextResponse(429, "Too many previews at once; try again shortly.\n");
    response.fields.emplace_back("Retry-After", "1");
    (*shared)(std::move(response));
  }
}
