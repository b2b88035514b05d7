// The account page /account and its forms: settings, a new key, a new player token, deletion.
#include "people/account_room.h"

#include <memory>

#include "accounts/player_token.h"
#include "base/log.h"
#include "http/form_decode.h"
#include "images/signature_view.h"
#include "pages/account_page.h"

CAccountRoom::CAccountRoom(CPeoplePages& pages, CHeldAccounts& held, CAccountChanges& changes,
                           CStore& store, CFlashes& flashes, CWorkPool& slowWork,
                           const CClock& clock)
    : m_pages(pages),
      m_held(held),
      m_changes(changes),
      m_store(store),
      m_flashes(flashes),
      m_slowWork(slowWork),
      m_clock(clock) {}

std::vector<CRoute> CAccountRoom::Routes() {
  std::vector<CRoute> routes;
  routes.push_back(PageRoute("/account", this, &CAccountRoom::HandleAccount));
  routes.push_back(PageRoute("/account/settings", this, &CAccountRoom::HandleSettings));
  routes.push_back(PageRoute("/account/key", this, &CAccountRoom::HandleNewKey));
  routes.push_back(PageRoute("/account/delete", this, &CAccountRoom::HandleDelete));
  routes.push_back(PageRoute("/account/token", this, &CAccountRoom::HandleNewToken));
  return routes;
}

void CAccountRoom::HandleAccount(const CHttpRequest& request, CRoute::Reply reply) {
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
    session = m_pages.SessionOf(request);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    return reply(NoDatabasePage());
  }
  if (!session) {
    if (!flash || flash->deleted.empty())
      return m_pages.ShowSignIn(request, 200, "", "", std::move(reply));
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
  m_pages.ShowAccount(request, *session, 200, notice, flash ? flash->key : "", clearFlash,
                      std::move(reply), flash ? flash->playerToken : "");
}

bool CAccountRoom::FirstShowing(CFlash& flash, const std::string& nameKey) {
  try {
    const int64_t nowMs = m_clock.WallMs();
    if (!m_store.Limits().UseOnce("flash " + flash.id, nowMs, nowMs + kFlashLifeMs)) return false;
    if (flash.key.empty()) return true;
    // A key replaced since the flash was sealed is not shown as the key in use.
    const std::optional<CAccountView> account = m_held.Find(nameKey);
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

void CAccountRoom::HandleSettings(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  CSignatureStyle style;
  int codePage = 0;
  if (const char* bad = ParseLook(SplitForm(request.body), &style, &codePage)) {
    return m_pages.ShowAccount(
        request, *session, 400,
        std::string("Nothing was saved: \"") + bad +
            "\" is not one of those offered; please pick a template, a theme, an "
            "accent and a code page from the lists.",
        "", "", std::move(reply));
  }
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  auto failed = [this, request, session, shared](const std::string& error) {
    LogRepeated("account change not stored", error);
    m_pages.ShowAccount(request, *session, 503,
                        "The service could not save that; please try again later.", "", "",
                        std::move(*shared));
  };
  // Settings, then the code page; each committed before the next, the answer after both.
  m_changes.SaveSettings(
      session->nameKey, SettingsOf(style),
      [this, session, codePage, shared, failed](bool stored, const std::string& error) {
        if (!stored) return failed(error);
        m_changes.SetCodePage(session->nameKey, codePage,
                              [shared, failed](bool stored, const std::string& error) {
                                if (!stored) return failed(error);
                                (*shared)(Redirect("/account?saved=1"));
                              });
      });
}

void CAccountRoom::HandleNewKey(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  auto answer = [this, request, session, shared](bool stored, const std::string& key,
                                                 const std::string& keyHash) {
    if (!stored) {
      return m_pages.ShowAccount(
          request, *session, 503,
          "No new key was made; the old one still works. Please try again later.", "", "",
          std::move(*shared));
    }
    // Whoever signed in with the old key was signed out with the commit; this page stays.
    (*shared)(m_pages.RedirectWithFlash(
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
    m_changes.ReplaceKey(session->nameKey, hash, DigestKey(key), session->tokenHash,
                         [answer, key, hash](bool stored, const std::string& error) {
                           if (!stored) LogRepeated("account change not stored", error);
                           answer(stored, key, hash);
                         });
  });
  if (!queued) answer(false, "", "");
}

void CAccountRoom::HandleDelete(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  std::string confirm;
  FindFormValue(SplitForm(request.body), "confirm", &confirm);
  if (NameKey(TrimBlanks(confirm)) != session->nameKey) {
    return m_pages.ShowAccount(request, *session, 400,
                               "The account was not deleted: type its name exactly to confirm.", "",
                               "", std::move(reply));
  }
  std::optional<CAccountView> account;
  try {
    account = m_held.Find(session->nameKey);
  } catch (const CStoreError&) {
  }
  const std::string name = account ? account->name : session->nameKey;
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  m_changes.Remove(session->nameKey, [this, request, session, name, shared](
                                         bool stored, const std::string& error) {
    if (!stored) {
      LogRepeated("account change not stored", error);
      return m_pages.ShowAccount(request, *session, 503,
                                 "The account was not deleted; please try again later.", "", "",
                                 std::move(*shared));
    }
    CHttpResponse response = m_pages.RedirectWithFlash(request, {"", "", "", name, "", "", ""});
    response.fields.emplace_back("Set-Cookie",
                                 CookieField(kSessionCookie, "", CameOverHttps(request)));
    (*shared)(std::move(response));
  });
}

void CAccountRoom::HandleNewToken(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  const std::string token = GeneratePlayerToken();
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  m_changes.ReplacePlayerToken(
      session->nameKey, PlayerTokenHash(token), Md5Hex(token),
      [this, request, session, token, shared](bool stored, const std::string& error) {
        if (!stored) {
          LogRepeated("account change not stored", error);
          return m_pages.ShowAccount(
              request, *session, 503,
              "No new player token was made; the old one still works. Please try "
              "again later.",
              "", "", std::move(*shared));
        }
        (*shared)(
            m_pages.RedirectWithFlash(request, {session->id,
                                                "The new player token is in use: players with the "
                                                "old one are refused from now on.",
                                                "", "", token, "", ""}));
      });
}
