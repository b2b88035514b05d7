// Changes of an account from its account page: settings, code page, key, player token, history,
// deletion.
#include "accounts/account_changes.h"
#include "storage/write_queue.h"

#include <utility>

CAccountChanges::CAccountChanges(CHeldAccounts& held, CStore& store, const CClock& clock)
    : m_held(held), m_store(store), m_clock(clock) {}

void CAccountChanges::WriteChange(std::string_view name, CAccountWrite write,
                                  std::function<void(CHeldAccount& account)> apply,
                                  ChangeDone done) {
  write.nowMs = m_clock.WallMs();
  std::unique_lock<std::mutex> lock;
  CHeldAccount* account = m_held.Lock(name, lock);
  if (!account) {
    if (lock.owns_lock()) lock.unlock();
    return done(false, "");
  }
  m_store.Queue().Write(account->nameKey, std::move(write),
                        [this, account, apply = std::move(apply), done = std::move(done)](
                            bool stored, const std::string& error) {
                          if (stored) {
                            std::lock_guard<std::mutex> lock(m_held.Mutex());
                            apply(*account);
                          }
                          done(stored, error);
                        });
}

void CAccountChanges::SaveSettings(std::string_view name, const CAccountSettings& settings,
                                   ChangeDone done) {
  CAccountWrite write;
  write.settings = settings;
  WriteChange(
      name, std::move(write),
      [this, settings](CHeldAccount& account) {
        account.record.settings = settings;
        m_held.MarkChanged(account);
      },
      std::move(done));
}

void CAccountChanges::SetCodePage(std::string_view name, int codePage, ChangeDone done) {
  CAccountWrite write;
  write.codePage = codePage;
  WriteChange(
      name, std::move(write),
      [this, codePage](CHeldAccount& account) {
        account.record.codePage = codePage;
        // The code page also picks the glyph forms of the image's text.
        m_held.MarkChanged(account);
      },
      std::move(done));
}

void CAccountChanges::ReplaceKey(std::string_view name, const std::string& keyHash,
                                 const CKeyDigest& digest, const std::string& keepSession,
                                 ChangeDone done) {
  CAccountWrite write;
  write.keyHash = keyHash;
  write.keepSession = keepSession;
  WriteChange(
      name, std::move(write),
      [keyHash, digest](CHeldAccount& account) {
        account.record.keyHash = keyHash;
        account.rightKey = digest;
        account.wrongKey.reset();
      },
      std::move(done));
}

void CAccountChanges::ReplacePlayerToken(std::string_view name, const std::string& tokenHash,
                                         const std::string& tokenMd5, ChangeDone done) {
  CAccountWrite write;
  write.playerToken = std::make_pair(tokenHash, tokenMd5);
  WriteChange(
      name, std::move(write),
      [tokenHash, tokenMd5](CHeldAccount& account) {
        account.record.tokenHash = tokenHash;
        account.record.tokenMd5 = tokenMd5;
      },
      std::move(done));
}

void CAccountChanges::SetKeepHistory(std::string_view name, bool keep, ChangeDone done) {
  CAccountWrite write;
  write.keepHistory = keep;
  WriteChange(
      name, std::move(write), [keep](CHeldAccount& account) { account.record.keepHistory = keep; },
      std::move(done));
}

void CAccountChanges::ClearHistory(std::string_view name, ChangeDone done) {
  CAccountWrite write;
  write.clearHistory = true;
  WriteChange(
      name, std::move(write),
      [this](CHeldAccount& account) {
        // The history images show the change at once.
        ++account.record.historyVersion;
        m_held.MarkChanged(account);
      },
      std::move(done));
}

void CAccountChanges::Remove(std::string_view name, ChangeDone done) {
  std::unique_lock<std::mutex> lock;
  CHeldAccount* account = m_held.Lock(name, lock);
  if (!account) {
    if (lock.owns_lock()) lock.unlock();
    return done(false, "");
  }
  // Gone from now on: no report, kept or new, reaches it any more.
  m_held.Withdraw(*account);
  CAccountWrite write;
  write.remove = true;
  m_store.Queue().Write(
      account->nameKey, std::move(write),
      [this, account, done = std::move(done)](bool stored, const std::string& error) {
        {
          std::lock_guard<std::mutex> lock(m_held.Mutex());
          if (!stored) {
            account->removed = false;  // still in the file, so still in use
          } else {
            m_held.Forget(*account);
          }
        }
        done(stored, error);
      });
}
