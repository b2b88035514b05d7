// The ListenBrainz endpoints for other players: POST /1/submit-listens, GET /1/validate-token.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_reports.h"
#include "accounts/wrong_attempts.h"
#include "base/clock.h"
#include "base/request_window.h"
#include "http/pipeline.h"
#include "storage/store.h"

// Every answer of these endpoints, refusals too, carries the X-RateLimit-* fields of the client
// address's request window (`requestsPerMinute` a minute, counted in this instance's memory);
// beyond it, 429 before anything else is looked at.
class CListenBrainzRoom {
 public:
  // `accounts`, `store` and `clock` must outlive the room.
  CListenBrainzRoom(CAccountReports& reports, CWrongAttempts& attempts, CStore& store,
                    const CClock& clock, size_t requestsPerMinute);

  std::vector<CRoute> Routes();

 private:
  enum class ETokenCheck { kValid, kWrong, kLimited, kFailed };
  // Counts `request` in its address's window. Over the limit: answers 429 and returns false.
  // Else makes `reply` one that sets the window's fields, as they are when it answers.
  bool Admit(const CHttpRequest& request, CRoute::Reply& reply);
  void Stamp(CHttpResponse& response, const CRequestWindow::CState& state) const;
  // The 429 of an address held back for wrong tokens: Reset-In is when it may try again.
  CHttpResponse TooManyWrongTokens(int64_t retryMs) const;
  // Finds the account of a player token for `request`'s client (`*name`), counting a wrong
  // token against the client's limit; kLimited with `*retryMs` when the client had too many
  // wrong ones lately, kFailed when the database failed.
  ETokenCheck FindTokenAccount(const CHttpRequest& request, std::string_view token,
                               std::string* name, int64_t* retryMs);
  void HandleSubmitListens(const CHttpRequest& request, CRoute::Reply reply);
  void HandleValidateToken(const CHttpRequest& request, CRoute::Reply reply);

  CAccountReports& m_reports;
  CWrongAttempts& m_attempts;
  CStore& m_store;
  const CClock& m_clock;
  // Shared with the replies that may outlive the room.
  const std::shared_ptr<CRequestWindow> m_window;
};
