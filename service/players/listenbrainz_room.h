// The ListenBrainz endpoints for other players: POST /1/submit-listens, GET /1/validate-token.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "accounts/accounts.h"
#include "http/pipeline.h"
#include "storage/store.h"

class CListenBrainzRoom {
 public:
  // `accounts` and `store` must outlive the room; `wrongTokensPerMinute` is the accounts' limit of
  // wrong attempts per client, told in the 429 answer's fields.
  CListenBrainzRoom(CAccounts& accounts, CStore& store, size_t wrongTokensPerMinute);

  std::vector<CRoute> Routes();

 private:
  enum class ETokenCheck { kValid, kWrong, kLimited, kFailed };
  // Finds the account of a player token for `request`'s client (`*name`), counting a wrong
  // token against the client's limit; kLimited with `*retryMs` when the client had too many
  // wrong ones lately, kFailed when the database failed.
  ETokenCheck FindTokenAccount(const CHttpRequest& request, std::string_view token,
                               std::string* name, int64_t* retryMs);
  void HandleSubmitListens(const CHttpRequest& request, CRoute::Reply reply);
  void HandleValidateToken(const CHttpRequest& request, CRoute::Reply reply);

  CAccounts& m_accounts;
  CStore& m_store;
  const size_t m_wrongTokensPerMinute;
};
