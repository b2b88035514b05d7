// The Audioscrobbler 1.2 endpoints for other players: handshake, now-playing notices, submissions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "accounts/account_reports.h"
#include "accounts/wrong_attempts.h"
#include "base/clock.h"
#include "http/pipeline.h"
#include "storage/store.h"

class CAudioscrobblerRoom {
 public:
  // Everything given must outlive the room. `publicUrl` is the configured address of the service
  // ("": the request's Host), for the addresses the handshake hands out.
  CAudioscrobblerRoom(CAccountReports& reports, CWrongAttempts& attempts, CStore& store,
                      const CClock& clock, std::string publicUrl);

  std::vector<CRoute> Routes();

 private:
  void HandleHandshake(const CHttpRequest& request, CRoute::Reply reply);
  // A now-playing notice or a submission: the session decides the account.
  void HandlePost(const CHttpRequest& request, bool nowPlaying, CRoute::Reply reply);
  // The account `user` names, read from the store, unless the client's address had too many wrong
  // handshakes and sessions lately: then nothing, and `*waitMs` says for how long. Throws
  // CStoreError.
  std::optional<CAccountRecord> FindUnlessLimited(const CHttpRequest& request,
                                                  const std::string& user, int64_t* waitMs);
  // Counts a wrong handshake or session of the client's address; a database that fails only
  // loses the count.
  void CountWrong(const CHttpRequest& request);

  CAccountReports& m_reports;
  CWrongAttempts& m_attempts;
  CStore& m_store;
  const CClock& m_clock;
  const std::string m_publicUrl;
};
