// What the people's rooms share: the session of a request, the forms' tokens, the sign-in and
// account pages, and the result of a form carried to the page after its redirect.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/held_accounts.h"
#include "http/form_decode.h"
#include "http/pipeline.h"
#include "people/flash.h"
#include "people/sessions.h"
#include "render/style.h"

// A 303 to `location`.
CHttpResponse Redirect(const std::string& location);
// A page that holds forms acting at once: no other site may frame it, and it may show a key, so
// no cache keeps it.
CHttpResponse PageResponse(int status, std::string html);
// The page for a request that needed the database when it did not answer.
CHttpResponse NoDatabasePage();

// The query of a request target, without the "?".
std::string_view QueryOf(std::string_view target);
// The value of the form field `name`, empty when absent.
std::string FormValue(const std::vector<CFormField>& fields, std::string_view name);
// The look and code page that a settings form or a preview query chose. Returns null when all
// are among those offered, else the name of the first field that is not.
const char* ParseLook(const std::vector<CFormField>& fields, CSignatureStyle* style, int* codePage);

// A route of the people's pages: a page that needs the database, with the "no database" page as
// its fallback answer.
CRoute PageRoute(const char* path, CRoute::Handler handle);
// The same, answered by `room`'s member `handle`.
template <class Room>
CRoute PageRoute(const char* path, Room* room,
                 void (Room::*handle)(const CHttpRequest&, CRoute::Reply)) {
  return PageRoute(
      path, [room, handle](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
        (room->*handle)(request, std::move(reply));
      });
}

class CPeoplePages {
 public:
  // Everything given must outlive the object. `publicUrl` and `httpsUrl` are the configured
  // addresses of the service (may be empty), which a form's Origin may name.
  CPeoplePages(CHeldAccounts& held, CSessions& sessions, CFlashes& flashes, std::string publicUrl,
               std::string httpsUrl);
  CPeoplePages(const CPeoplePages&) = delete;
  CPeoplePages& operator=(const CPeoplePages&) = delete;

  // The "csrf" token of the sign-in and registration forms, made from the request's nonce
  // cookie; a request without one gets a new nonce, and `*setCookie` the Set-Cookie field that
  // keeps it (else it is left alone). Any thread.
  std::string FormToken(const CHttpRequest& request, std::string* setCookie) const;
  // Whether a POST of the sign-in or registration form came from this site's own form: its
  // "csrf" field, `csrf`, is the token of its nonce cookie, and neither Origin (checked against
  // Host and the configured public addresses) nor Sec-Fetch-Site names another site. Any thread.
  bool FromOwnForm(const CHttpRequest& request, std::string_view csrf) const;
  // The signed-in session of `request`, if any. Throws CStoreError.
  std::optional<CAccountSession> SessionOf(const CHttpRequest& request);
  // The session of a form post whose "csrf" field matches; else answers (405, 503, the sign-in
  // page or 403) and gives nothing.
  std::optional<CAccountSession> FormSession(const CHttpRequest& request, CRoute::Reply& reply);
  void ShowSignIn(const CHttpRequest& request, int status, const std::string& error,
                  const std::string& name, CRoute::Reply reply);
  // Answers with the account page of a session; `key`, when not empty, is shown once, and
  // `setCookie` is added as a Set-Cookie field.
  void ShowAccount(const CHttpRequest& request, const CAccountSession& session, int status,
                   const std::string& notice, const std::string& key, const std::string& setCookie,
                   CRoute::Reply reply, const std::string& playerToken = "");
  // A 303 to /account that leaves `flash` for that page to show once.
  CHttpResponse RedirectWithFlash(const CHttpRequest& request, const CFlash& flash);
  std::string PublicUrlOf(const CHttpRequest& request) const;

 private:
  CHeldAccounts& m_held;
  CSessions& m_sessions;
  CFlashes& m_flashes;
  const std::string m_publicUrl;
  const std::string m_httpsUrl;
};
