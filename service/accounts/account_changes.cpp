// Changes of an account from its account page: settings, code page, key, history, deletion.
#include <utility>

#include "accounts/accounts.h"

void CAccounts::WriteChange(std::string_view name, CAccountWrite write,
                            std::function<void(CEntry& entry)> apply, ChangeDone done) {
  write.nowMs = m_clock.WallMs();
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) {
    if (lock.owns_lock()) lock.unlock();
    return done(false, "");
  }
  m_store.Write(entry->nameKey, std::move(write),
                [this, entry, apply = std::move(apply), done = std::move(done)](
                    bool stored, const std::string& error) {
                  if (stored) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    apply(*entry);
                  }
                  done(stored, error);
                });
}

void CAccounts::SaveSettings(std::string_view name, const CAccountSettings& settings,
                             ChangeDone done) {
  CAccountWrite write;
  write.settings = settings;
  WriteChange(
      name, std::move(write),
      [this, settings](CEntry& entry) {
        entry.record.settings = settings;
        MarkChanged(entry);
      },
      std::move(done));
}

void CAccounts::SetCodePage(std::string_view name, int codePage, ChangeDone done) {
  CAccountWrite write;
  write.codePage = codePage;
  WriteChange(
      name, std::move(write),
      [this, codePage](CEntry& entry) {
        entry.record.codePage = codePage;
        // The code page also picks the glyph forms of the image's text.
        MarkChanged(entry);
      },
      std::move(done));
}

void CAccounts::ReplaceKey(std::string_view name, const std::string& keyHash,
                           const CKeyDigest& digest, const std::string& keepSession,
                           ChangeDone done) {
  CAccountWrite write;
  write.keyHash = keyHash;
  write.keepSession = keepSession;
  WriteChange(
      name, std::move(write),
      [keyHash, digest](CEntry& entry) {
        entry.record.keyHash = keyHash;
        entry.rightKey = digest;
        entry.wrongKey.reset();
      },
      std::move(done));
}

void CAccounts::ReplacePlayerToken(std::string_view name, const std::string& tokenHash,
                                   const std::string& tokenMd5, ChangeDone done) {
  CAccountWrite write;
  write.playerToken = std::make_pair(tokenHash, tokenMd5);
  WriteChange(
      name, std::move(write),
      [tokenHash, tokenMd5](CEntry& entry) {
        entry.record.tokenHash = tokenHash;
        entry.record.tokenMd5 = tokenMd5;
      },
      std::move(done));
}

void CAccounts::SetKeepHistory(std::string_view name, bool keep, ChangeDone done) {
  CAccountWrite write;
  write.keepHistory = keep;
  WriteChange(
      name, std::move(write), [keep](CEntry& entry) { entry.record.keepHistory = keep; },
      std::move(done));
}

void CAccounts::ClearHistory(std::string_view name, ChangeDone done) {
  CAccountWrite write;
  write.clearHistory = true;
  WriteChange(
      name, std::move(write),
      [this](CEntry& entry) {
        // The history images show the change at once.
        ++entry.record.historyVersion;
        MarkChanged(entry);
      },
      std::move(done));
}

void CAccounts::Remove(std::string_view name, ChangeDone done) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) {
    if (lock.owns_lock()) lock.unlock();
    return done(false, "");
  }
  // Gone from now on: no report, kept or new, reaches it any more.
  entry->removed = true;
  entry->kept.reset();
  ++entry->keptGeneration;
  for (auto it = m_due.begin(); it != m_due.end();) {
    it = it->second == entry ? m_due.erase(it) : std::next(it);
  }
  CAccountWrite write;
  write.remove = true;
  m_store.Write(entry->nameKey, std::move(write),
                [this, entry, done = std::move(done)](bool stored, const std::string& error) {
                  {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (!stored) {
                      entry->removed = false;  // still in the file, so still in use
                    } else {
                      auto found = m_entries.find(entry->nameKey);
                      if (found != m_entries.end() && found->second.get() == entry) {
                        m_removed.push_back(std::move(found->second));
                        m_entries.erase(found);
                      }
                    }
                  }
                  done(stored, error);
                });
}
