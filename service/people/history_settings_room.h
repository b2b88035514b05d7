// The account page's listening history: keeping it on or off, deleting it, downloading it.
#pragma once

#include <string>
#include <vector>

#include "accounts/account_changes.h"
#include "http/pipeline.h"
#include "people/people_pages.h"
#include "storage/store.h"

class CHistorySettingsRoom {
 public:
  // Everything given must outlive the room.
  CHistorySettingsRoom(CPeoplePages& pages, CAccountChanges& changes, CStore& store);

  std::vector<CRoute> Routes();

 private:
  // POST /account/history: "keep" present switches keeping on, absent off.
  void HandleKeep(const CHttpRequest& request, CRoute::Reply reply);
  // POST /account/history/delete: every listen and count of the account.
  void HandleDelete(const CHttpRequest& request, CRoute::Reply reply);
  // GET /account/history/download: the history as a file of ListenBrainz listens, newest first.
  void HandleDownload(const CHttpRequest& request, CRoute::Reply reply);
  // Answers a change's outcome: back to the account page with `done`, or the page with `failed`.
  CAccountChanges::ChangeDone Answer(const CHttpRequest& request, const CAccountSession& session,
                                     const char* done, const char* failed, CRoute::Reply reply);

  CPeoplePages& m_pages;
  CAccountChanges& m_changes;
  CStore& m_store;
};

// The listens as a JSON array in ListenBrainz's listen format (listened_at, track_metadata with
// artist_name, track_name, release_name and the source as additional_info.submission_client).
std::string ListenBrainzListensJson(const std::vector<CListen>& listens);
