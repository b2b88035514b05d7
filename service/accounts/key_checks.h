// Whether a key offered for an account is its key: decided from memory where memory knows, else
// by one slow check per account at a time, within a bound of wrong keys per client address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "accounts/held_accounts.h"
#include "accounts/key_hash.h"
#include "accounts/wrong_attempts.h"
#include "storage/store.h"

// All members may be called from any thread.
class CKeyChecks {
 public:
  // Every argument must outlive this.
  CKeyChecks(CHeldAccounts& held, CStore& store, CWrongAttempts& attempts);

  enum class EKeyCheck {
    kNoAccount,
    kMatches,  // the key that last passed the slow check
    kWrong,    // known to be wrong, or not even well formed
    kUnknown,  // a slow check against `*keyHash` must decide; finish with RememberKeyCheck
    kLimited,  // too many wrong keys from this client address lately: refuse without a check
    kBusy,     // a slow check of this account is under way: refuse without a check
  };
  // Who offers a key. Only a player's report may mark the account as reporting with a wrong key;
  // a failed sign-in counts against its address's wrong-key bound and changes nothing else.
  enum class EKeyFrom { kPlayer, kSignIn };
  // Decides `key` (given as its digest, and whether it is well formed), offered from the client
  // address `address`, from what the service remembers. kUnknown reserves the account's one slow
  // check. Throws CStoreError.
  EKeyCheck CheckKey(std::string_view name, const CKeyDigest& digest, bool wellFormed,
                     std::string* keyHash, EKeyFrom from = EKeyFrom::kPlayer,
                     const std::string& address = "");
  // Ends the slow check that kUnknown reserved: remembers its outcome (a wrong key counts against
  // `address`), or with `checked` false (the check could not run) only gives the reservation
  // back. Returns whether the key matches the account's key now: false also when the key was
  // replaced while the check ran (its outcome is then forgotten).
  bool RememberKeyCheck(std::string_view name, const CKeyDigest& digest, bool matches,
                        bool checked = true, EKeyFrom from = EKeyFrom::kPlayer,
                        const std::string& address = "");
  // Whether `digest` is the key that last passed the slow check of the account `name`, as this
  // instance holds it, known current without asking the store (see CHeldAccounts::FindHeld).
  // Never waits for the database; false when that is not known.
  bool KeyMatchesHeld(std::string_view name, const CKeyDigest& digest);
  // Milliseconds until `address` may have another key or token checked (at least 1).
  int64_t KeyCheckRetryMs(const std::string& address);

 private:
  // A player reported with a wrong key: the image says so, on every instance, until a report
  // passes (the held accounts' mutex held).
  void MarkWrongKeySeen(CHeldAccount& account);

  CHeldAccounts& m_held;
  CStore& m_store;
  CWrongAttempts& m_attempts;
};
