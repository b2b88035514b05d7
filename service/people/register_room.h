// The registration page /user/register: the form, and the new account's key and image URL.
#pragma once

#include <string>
#include <vector>

#include "accounts/held_accounts.h"
#include "accounts/user_name.h"
#include "base/work_pool.h"
#include "http/pipeline.h"
#include "people/people_pages.h"
#include "base/event_limit.h"
#include "storage/store.h"

class CRegisterRoom {
 public:
  // Everything given must outlive the room; `slowWork` runs the slow key hashes. A client
  // address registers at most `perHour` accounts an hour.
  CRegisterRoom(CPeoplePages& pages, CHeldAccounts& held, CStore& store, CSessions& sessions,
                CWorkPool& slowWork, const CClock& clock, size_t perHour);

  std::vector<CRoute> Routes();

 private:
  void HandleRegister(const CHttpRequest& request, CRoute::Reply reply);
  CHttpResponse LateRegister(const CHttpRequest& request);
  void CreateAccount(const std::string& name, int codePage, const CHttpRequest& request,
                     CRoute::Reply reply);
  // The registration page with its form, `error` on top when not empty and `name` and
  // `codePage` chosen; sets the form's nonce cookie when the request had none. Any thread.
  CHttpResponse RegisterPage(const CHttpRequest& request, int status, const std::string& error,
                             const std::string& name, int codePage) const;

  CPeoplePages& m_pages;
  CHeldAccounts& m_held;
  CStore& m_store;
  CSessions& m_sessions;
  CWorkPool& m_slowWork;
  const CClock& m_clock;
  CEventLimit m_registrations;  // by client address
};
