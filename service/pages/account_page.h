// The account page, its sign-in form, the registration form and the deleted page, from templates.
#pragma once

#include <string>

#include "pages/pages.h"
#include "render/style.h"

struct CAccountPage {
  std::string name;       // as registered
  std::string csrf;       // the session's form token
  std::string publicUrl;  // "http://host[:port]"
  int codePage = 0;
  CSignatureStyle style;  // as saved
  std::string notice;     // a line shown on top, or empty
  bool error = false;     // the notice is a refusal
  std::string key;        // a key to show this once, or empty
  bool sample = false;    // no track reported yet: the preview shows a sample one
  // A player token to show this once, or empty; whether the account has one (made before, or
  // just now).
  std::string playerToken;
  bool hasPlayerToken = false;
  bool keepHistory = false;  // the account keeps its listening history
};

// What the section "Other players" shows (template other_players): the player token, the
// addresses to enter and how, per client.
CPageData OtherPlayersSection(const CAccountPage& page);

std::string AccountPageHtml(const CAccountPage& page);
// The sign-in form; `csrf` is the token of the form's cookie nonce.
std::string SignInPageHtml(const std::string& error, const std::string& name,
                           const std::string& csrf);
// The registration form, with `error` on top when not empty and `name` and `codePage` chosen;
// `csrf` is the token of the form's cookie nonce, as for the sign-in form.
std::string RegisterPageHtml(const std::string& error, const std::string& name, int codePage,
                             const std::string& csrf);
// The page after deletion.
std::string DeletedPageHtml(const std::string& name);
// A page that says one thing, `message`, titled `title`; with `reload`, it asks to reload the
// account page and try again.
std::string MessagePageHtml(const std::string& title, const std::string& message,
                            bool reload = false);
// The page for a request that needed the database when it did not answer.
std::string NoDatabasePageHtml();
