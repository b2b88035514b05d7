// The registration page /user/register: the form, and the new account's key and image URL.
#include "people/register_room.h"

#include <memory>

#include "base/log.h"
#include "http/form_decode.h"
#include "pages/account_page.h"
#include "render/code_page.h"
#include "storage/write_queue.h"

CRegisterRoom::CRegisterRoom(CPeoplePages& pages, CHeldAccounts& held, CStore& store,
                             CSessions& sessions, CWorkPool& slowWork, const CClock& clock,
                             size_t perHour)
    : m_pages(pages),
      m_held(held),
      m_store(store),
      m_sessions(sessions),
      m_slowWork(slowWork),
      m_clock(clock),
      m_registrations(clock, perHour, 3600 * 1000) {}

std::vector<CRoute> CRegisterRoom::Routes() {
  CRoute route = PageRoute("/user/register", this, &CRegisterRoom::HandleRegister);
  // The form itself comes from memory; only a post needs the database.
  route.database = CRoute::EDatabase::kOnPost;
  route.late = [this](const CHttpRequest& request, std::string_view) {
    return LateRegister(request);
  };
  return {std::move(route)};
}

CHttpResponse CRegisterRoom::RegisterPage(const CHttpRequest& request, int status,
                                          const std::string& error, const std::string& name,
                                          int codePage) const {
  std::string setCookie;
  const std::string csrf = m_pages.FormToken(request, &setCookie);
  CHttpResponse response = HtmlResponse(status, RegisterPageHtml(error, name, codePage, csrf));
  response.fields.emplace_back("Content-Security-Policy", kPagePolicy);
  if (!setCookie.empty()) response.fields.emplace_back("Set-Cookie", setCookie);
  return response;
}

void CRegisterRoom::HandleRegister(const CHttpRequest& request, CRoute::Reply reply) {
  if (request.method == "GET" || request.method == "HEAD") {
    CHttpResponse response = RegisterPage(request, 200, "", "", kDefaultCodePage);
    response.omitBody = request.method == "HEAD";
    return reply(std::move(response));
  }
  if (request.method != "POST") {
    CHttpResponse response = TextResponse(405, "Allowed: GET, HEAD, POST\n");
    response.fields.emplace_back("Allow", "GET, HEAD, POST");
    return reply(std::move(response));
  }

  const std::vector<CFormField> fields = SplitForm(request.body);
  std::string name;
  std::string codePageText;
  std::string csrf;
  FindFormValue(fields, "name", &name);
  FindFormValue(fields, "codepage", &codePageText);
  FindFormValue(fields, "csrf", &csrf);
  // A post from another site would sign its visitor into an account that site named: it is
  // refused before anything else, so that it uses none of the address's registrations, and its
  // name is not offered again.
  if (!m_pages.FromOwnForm(request, csrf)) {
    return reply(RegisterPage(request, 403,
                              "The registration form had expired; please register again.", "",
                              kDefaultCodePage));
  }
  if (const int64_t waitMs = m_registrations.WaitMs(request.clientAddress)) {
    const int64_t minutes = (waitMs + 59999) / 60000;
    CHttpResponse response = RegisterPage(
        request, 429,
        "Too many accounts were registered from your address lately. Please try again in " +
            std::to_string(minutes) + (minutes == 1 ? " minute." : " minutes."),
        "", kDefaultCodePage);
    response.fields.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
    return reply(std::move(response));
  }
  const int codePage = ParseCodePageNumber(codePageText);
  auto refuse = [&](int status, const std::string& message) {
    reply(RegisterPage(request, status, message, name,
                       FindCodePage(codePage) ? codePage : kDefaultCodePage));
  };
  if (!IsValidUserName(name)) {
    return refuse(400,
                  "A user name has 2 to 32 letters, digits, \".\", \"_\" or \"-\", and starts "
                  "with a letter or a digit.");
  }
  if (IsReservedUserName(name))
    return refuse(400, "This user name is reserved; please pick another.");
  if (!FindCodePage(codePage)) return refuse(400, "Please pick one of the listed code pages.");
  try {
    if (m_held.Find(name)) return refuse(409, "The user name \"" + name + "\" is taken.");
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return refuse(503, "The service cannot reach its database; please try again later.");
  }

  m_registrations.Add(request.clientAddress);
  CreateAccount(name, codePage, request, std::move(reply));
}

CHttpResponse CRegisterRoom::LateRegister(const CHttpRequest& request) {
  return RegisterPage(request, 503,
                      "The service cannot reach its database; the account may not have been "
                      "made. Please try again in a minute.",
                      "", kDefaultCodePage);
}

void CRegisterRoom::CreateAccount(const std::string& name, int codePage,
                                  const CHttpRequest& request, CRoute::Reply reply) {
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  auto answer = [this, shared, request, name, codePage](
                    ECreateResult result, const std::string& key, const std::string& keyHash) {
    switch (result) {
      case ECreateResult::kCreated: {
        // The new account's page, signed in, with the key shown this once.
        std::optional<CAccountSession> session;
        try {
          session = m_sessions.Create(NameKey(name), keyHash);
        } catch (const CStoreError& error) {
          LogRepeated("session not stored", error.what());
        }
        if (!session) {
          // The account exists; only the session is missing: its key still works.
          return (*shared)(RegisterPage(request, 503,
                                        "The account \"" + name +
                                            "\" was made, but the service could not sign you "
                                            "in; its key is " +
                                            key + ". Please sign in on /account.",
                                        name, codePage));
        }
        CHttpResponse response =
            m_pages.RedirectWithFlash(request, {session->id, "Your Velk signature is ready.", key,
                                                "", "", KeyFingerprint(keyHash), ""});
        const bool secure = CameOverHttps(request);
        response.fields.emplace_back("Set-Cookie",
                                     CookieField(kSessionCookie, session->id, secure));
        response.fields.emplace_back("Set-Cookie", CookieField(kSignInCookie, "", secure));
        return (*shared)(std::move(response));
      }
      case ECreateResult::kDuplicate:
        return (*shared)(
            RegisterPage(request, 409, "The user name \"" + name + "\" is taken.", name, codePage));
      case ECreateResult::kFailed:
        break;
    }
    (*shared)(RegisterPage(request, 503,
                           "The service could not save the account; please try again later.", name,
                           codePage));
  };
  // The key's slow hash runs on a pool thread, never on a network thread.
  const bool queued = m_slowWork.Submit([this, name, codePage, answer] {
    CAccountRecord record;
    record.name = name;
    const std::string key = GenerateKey();
    try {
      record.keyHash = HashKey(key);
    } catch (const std::exception& error) {
      LogRepeated("key hash failed", error.what());
      return answer(ECreateResult::kFailed, key, "");
    }
    record.codePage = codePage;
    record.createdAt = m_clock.WallSeconds();
    record.keepHistory = true;  // as the registration page says
    const std::string keyHash = record.keyHash;
    m_store.Queue().CreateAccount(std::move(record), [answer, key, keyHash](ECreateResult result) {
      answer(result, key, keyHash);
    });
  });
  if (!queued) {
    (*shared)(RegisterPage(request, 503, "The service is busy; please try again in a minute.", name,
                           codePage));
  }
}
