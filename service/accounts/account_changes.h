// Changes of an account from its account page: settings, code page, key, player token, history,
// deletion.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "accounts/held_accounts.h"
#include "accounts/key_hash.h"
#include "base/clock.h"
#include "storage/store.h"

// Each change is committed before `done(stored, error)` runs on the store's writer thread (at
// once with false and an empty error when there is no such account), and what the held accounts
// and the key checks see changes with the commit. All members may be called from any thread.
class CAccountChanges {
 public:
  // Every argument must outlive this.
  CAccountChanges(CHeldAccounts& held, CStore& store, const CClock& clock);

  using ChangeDone = std::function<void(bool stored, const std::string& error)>;
  void SaveSettings(std::string_view name, const CAccountSettings& settings, ChangeDone done);
  void SetCodePage(std::string_view name, int codePage, ChangeDone done);
  // From the commit on, only the key of `keyHash` (whose digest is `digest`) passes.
  // The session whose token hash is `keepSession` stays signed in; the account's others end.
  void ReplaceKey(std::string_view name, const std::string& keyHash, const CKeyDigest& digest,
                  const std::string& keepSession, ChangeDone done);
  // A new player token (its digest and MD5): from the commit on only it passes.
  void ReplacePlayerToken(std::string_view name, const std::string& tokenHash,
                          const std::string& tokenMd5, ChangeDone done);
  // Switches keeping the account's listening history on or off; what is kept stays.
  void SetKeepHistory(std::string_view name, bool keep, ChangeDone done);
  // Deletes every listen of the account's history and the counts of its charts.
  void ClearHistory(std::string_view name, ChangeDone done);
  // Deletes the account, its state, settings and key. From the call on, the account is gone for
  // reports and look-ups; once committed, its name is free again.
  void Remove(std::string_view name, ChangeDone done);

 private:
  // Queues `write` of an account change; on commit, `apply` updates the account (mutex held).
  void WriteChange(std::string_view name, CAccountWrite write,
                   std::function<void(CHeldAccount& account)> apply, ChangeDone done);

  CHeldAccounts& m_held;
  CStore& m_store;
  const CClock& m_clock;
};
