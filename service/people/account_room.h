// The account page /account and its forms: settings, a new key, a new player token, deletion.
#pragma once

#include <string>
#include <vector>

#include "accounts/account_changes.h"
#include "accounts/held_accounts.h"
#include "base/work_pool.h"
#include "http/pipeline.h"
#include "people/people_pages.h"
#include "storage/store.h"

class CAccountRoom {
 public:
  // Everything given must outlive the room; `slowWork` runs the slow key hashes.
  CAccountRoom(CPeoplePages& pages, CHeldAccounts& held, CAccountChanges& changes, CStore& store,
               CFlashes& flashes, CWorkPool& slowWork, const CClock& clock);

  std::vector<CRoute> Routes();

 private:
  void HandleAccount(const CHttpRequest& request, CRoute::Reply reply);
  // Whether `flash`, shown to a session of the account `nameKey`, is shown for the first time on
  // any instance; clears its key when the account's key was replaced since. False also when the
  // store cannot tell.
  bool FirstShowing(CFlash& flash, const std::string& nameKey);
  void HandleSettings(const CHttpRequest& request, CRoute::Reply reply);
  void HandleNewKey(const CHttpRequest& request, CRoute::Reply reply);
  void HandleDelete(const CHttpRequest& request, CRoute::Reply reply);
  void HandleNewToken(const CHttpRequest& request, CRoute::Reply reply);

  CPeoplePages& m_pages;
  CHeldAccounts& m_held;
  CAccountChanges& m_changes;
  CStore& m_store;
  CFlashes& m_flashes;
  CWorkPool& m_slowWork;
  const CClock& m_clock;
};
