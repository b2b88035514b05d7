// Signing in and out of the account page: /account/signin and /account/signout.
#pragma once

#include <string>
#include <vector>

#include "accounts/key_checks.h"
#include "base/work_pool.h"
#include "http/pipeline.h"
#include "people/people_pages.h"

class CSignInRoom {
 public:
  // Everything given must outlive the room; `slowWork` runs the slow key checks.
  CSignInRoom(CPeoplePages& pages, CKeyChecks& keys, CSessions& sessions, CWorkPool& slowWork);

  std::vector<CRoute> Routes();

 private:
  // The sign-in form's post: the same bounds as the plug-in's reports (one slow check at a time
  // per account, few failed ones per client and minute).
  void HandleSignIn(const CHttpRequest& request, CRoute::Reply reply);
  // Starts a session for the account `name` whose key passed as `keyHash`, and sends the browser
  // to its page.
  void SignIn(const CHttpRequest& request, const std::string& name, const std::string& keyHash,
              CRoute::Reply reply);
  void HandleSignOut(const CHttpRequest& request, CRoute::Reply reply);

  CPeoplePages& m_pages;
  CKeyChecks& m_keys;
  CSessions& m_sessions;
  CWorkPool& m_slowWork;
};
