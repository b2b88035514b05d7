// Signing in and out of the account page: /account/signin and /account/signout.
#include "people/sign_in_room.h"

#include <memory>

#include "base/log.h"
#include "http/form_decode.h"

CSignInRoom::CSignInRoom(CPeoplePages& pages, CKeyChecks& keys, CSessions& sessions,
                         CWorkPool& slowWork)
    : m_pages(pages), m_keys(keys), m_sessions(sessions), m_slowWork(slowWork) {}

std::vector<CRoute> CSignInRoom::Routes() {
  std::vector<CRoute> routes;
  routes.push_back(PageRoute("/account/signin", this, &CSignInRoom::HandleSignIn));
  routes.push_back(PageRoute("/account/signout", this, &CSignInRoom::HandleSignOut));
  return routes;
}

void CSignInRoom::HandleSignIn(const CHttpRequest& request, CRoute::Reply reply) {
  if (request.method != "POST") return reply(Redirect("/account"));
  const std::vector<CFormField> fields = SplitForm(request.body);
  const std::string name = FormValue(fields, "name");
  const std::string key = FormValue(fields, "key");
  if (!m_pages.FromOwnForm(request, FormValue(fields, "csrf"))) {
    return m_pages.ShowSignIn(request, 403, "The sign-in form had expired; please sign in again.",
                              name, std::move(reply));
  }
  // The same bounds as for the plug-in's reports: one slow check at a time per account, and
  // few failed ones per minute. A failure counts there and nowhere else.
  constexpr auto kSignIn = CKeyChecks::EKeyFrom::kSignIn;
  const CKeyDigest digest = DigestKey(key);
  std::string keyHash;
  CKeyChecks::EKeyCheck check;
  try {
    check = m_keys.CheckKey(name, digest, IsWellFormedKey(key), &keyHash, kSignIn,
                            request.clientAddress);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return m_pages.ShowSignIn(request, 503,
                              "The service cannot reach its database; please try later.", name,
                              std::move(reply));
  }
  const std::string wrong = "Wrong user name or key.";
  switch (check) {
    case CKeyChecks::EKeyCheck::kNoAccount:
    case CKeyChecks::EKeyCheck::kWrong:
      return m_pages.ShowSignIn(request, 403, wrong, name, std::move(reply));
    case CKeyChecks::EKeyCheck::kMatches:
      return SignIn(request, name, keyHash, std::move(reply));
    case CKeyChecks::EKeyCheck::kLimited:
    case CKeyChecks::EKeyCheck::kBusy: {
      const int64_t seconds = (m_keys.KeyCheckRetryMs(request.clientAddress) + 999) / 1000;
      auto withRetry = [reply = std::move(reply), seconds](CHttpResponse response) {
        response.fields.emplace_back("Retry-After", std::to_string(seconds));
        reply(std::move(response));
      };
      return m_pages.ShowSignIn(
          request, 429,
          "Too many failed sign-ins from your address lately; please try again in " +
              std::to_string(seconds) + " s.",
          name, std::move(withRetry));
    }
    case CKeyChecks::EKeyCheck::kUnknown:
      break;
  }
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  const bool queued = m_slowWork.Submit(
      [this, request, name, key, digest, wrong, shared, keyHash = std::move(keyHash)] {
        bool matches = VerifyKey(keyHash, key);
        try {
          matches =
              m_keys.RememberKeyCheck(name, digest, matches, true, kSignIn, request.clientAddress);
        } catch (const CStoreError&) {
          matches = false;
        }
        if (matches) return SignIn(request, name, keyHash, std::move(*shared));
        m_pages.ShowSignIn(request, 403, wrong, name, std::move(*shared));
      });
  if (queued) return;
  try {
    m_keys.RememberKeyCheck(name, digest, false, false);
  } catch (const CStoreError&) {
    // The reservation lives in memory, which the look-up found before; nothing to give back.
  }
  m_pages.ShowSignIn(request, 503, "The service is busy; please try again in a minute.", name,
                     std::move(*shared));
}

void CSignInRoom::SignIn(const CHttpRequest& request, const std::string& name,
                         const std::string& keyHash, CRoute::Reply reply) {
  std::optional<CAccountSession> session;
  try {
    session = m_sessions.Create(NameKey(name), keyHash);
  } catch (const CStoreError& error) {
    LogRepeated("session not stored", error.what());
    return m_pages.ShowSignIn(request, 503,
                              "The service cannot reach its database; please try later.", name,
                              std::move(reply));
  }
  // The key changed, or the account went, since the key was checked.
  if (!session)
    return m_pages.ShowSignIn(request, 403, "Wrong user name or key.", name, std::move(reply));
  CHttpResponse response = Redirect("/account");
  const bool secure = CameOverHttps(request);
  response.fields.emplace_back("Set-Cookie", CookieField(kSessionCookie, session->id, secure));
  response.fields.emplace_back("Set-Cookie", CookieField(kSignInCookie, "", secure));
  reply(std::move(response));
}

void CSignInRoom::HandleSignOut(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  try {
    m_sessions.End(session->id);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    return reply(NoDatabasePage());
  }
  CHttpResponse response = Redirect("/account");
  response.fields.emplace_back("Set-Cookie",
                               CookieField(kSessionCookie, "", CameOverHttps(request)));
  reply(std::move(response));
}
