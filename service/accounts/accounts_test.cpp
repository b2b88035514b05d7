// Tests of the accounts: the stopped state, the report rate limit, key checks and persistence.
#include "accounts/accounts.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

using EPlayback = CTrackState::EPlayback;

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitKeyHashing());
    m_store = std::make_unique<CStore>(m_dir.File("accounts.sqlite"));
    ASSERT_EQ(CreateAccountNow(*m_store, "Bob", "1234", 1251), ECreateResult::kCreated);
    m_accounts = std::make_unique<CAccounts>(*m_store, m_clock, 2000);
  }

  static CReport Track(const char* artist, const char* title) {
    CReport report;
    report.user = "bob";
    report.key = "1234";
    report.artist = artist;
    report.title = title;
    report.album = "Album";
    report.year = "1988";
    return report;
  }
  static CReport Stop() {
    CReport report = Track("stopped", "stopped");
    report.album.clear();
    report.year.clear();
    report.stopped = true;
    return report;
  }
  CTrackState State() { return m_accounts->Find("BOB")->state; }

  CTempDir m_dir;
  CFakeClock m_clock;
  std::unique_ptr<CStore> m_store;
  std::unique_ptr<CAccounts> m_accounts;
};

TEST_F(AccountsTest, StoppedKeepsTheLastTrackAndMarksTheTime) {
  EXPECT_EQ(State().playback, EPlayback::kNone);
  ASSERT_EQ(m_accounts->Apply("bob", Track("\xca\xe8\xed\xee", "Song")),
            CAccounts::EApply::kStored);
  const int64_t trackAt = m_clock.WallSeconds();
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  EXPECT_EQ(State().artist, "Кино");  // the account's code page, 1251

  m_clock.Advance(60000);
  ASSERT_EQ(m_accounts->Apply("bob", Stop()), CAccounts::EApply::kStored);
  const CTrackState stopped = State();
  EXPECT_EQ(stopped.playback, EPlayback::kStopped);
  EXPECT_EQ(stopped.artist, "Кино");
  EXPECT_EQ(stopped.title, "Song");
  EXPECT_EQ(stopped.album, "Album");
  EXPECT_EQ(stopped.trackAt, trackAt);
  EXPECT_EQ(stopped.stoppedAt, m_clock.WallSeconds());

  // A second stop (the player's final report at quit) keeps the time of the first.
  m_clock.Advance(60000);
  const uint64_t version = m_accounts->Find("bob")->version;
  ASSERT_EQ(m_accounts->Apply("bob", Stop()), CAccounts::EApply::kStored);
  EXPECT_EQ(State().stoppedAt, stopped.stoppedAt);
  EXPECT_EQ(m_accounts->Find("bob")->version, version);

  m_clock.Advance(5000);
  ASSERT_EQ(m_accounts->Apply("bob", Track("B", "Next")), CAccounts::EApply::kStored);
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  EXPECT_EQ(State().stoppedAt, 0);
  EXPECT_EQ(State().album, "Album");
}

TEST_F(AccountsTest, StopBeforeAnyTrack) {
  ASSERT_EQ(m_accounts->Apply("bob", Stop()), CAccounts::EApply::kStored);
  EXPECT_EQ(State().playback, EPlayback::kStopped);
  EXPECT_EQ(State().trackAt, 0);
  EXPECT_EQ(State().artist, "");
}

TEST_F(AccountsTest, ReportsCloserThanTheIntervalAreDropped) {
  ASSERT_EQ(m_accounts->Apply("bob", Track("A", "One")), CAccounts::EApply::kStored);
  m_clock.Advance(1999);
  EXPECT_EQ(m_accounts->Apply("bob", Track("A", "Two")), CAccounts::EApply::kRateLimited);
  EXPECT_EQ(m_accounts->Apply("bob", Stop()), CAccounts::EApply::kRateLimited);
  EXPECT_EQ(State().title, "One");
  m_clock.Advance(1);
  EXPECT_EQ(m_accounts->Apply("bob", Track("A", "Three")), CAccounts::EApply::kStored);
  EXPECT_EQ(State().title, "Three");
  // A dropped report does not move the window.
  m_clock.Advance(1000);
  EXPECT_EQ(m_accounts->Apply("bob", Track("A", "Four")), CAccounts::EApply::kRateLimited);
  m_clock.Advance(1000);
  EXPECT_EQ(m_accounts->Apply("bob", Track("A", "Five")), CAccounts::EApply::kStored);
}

TEST_F(AccountsTest, TheLastReportThatCameTooSoonIsAppliedOnceTheIntervalHasPassed) {
  ASSERT_EQ(m_accounts->Apply("bob", Track("A", "One")), CAccounts::EApply::kStored);
  const int64_t stoppedAt = m_clock.WallSeconds() + 1;
  m_clock.Advance(1000);
  // The player's final report at quit, right after a track report.
  EXPECT_EQ(m_accounts->Apply("bob", Stop()), CAccounts::EApply::kRateLimited);
  m_clock.Advance(500);
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  m_clock.Advance(500);
  const CTrackState state = State();
  EXPECT_EQ(state.playback, EPlayback::kStopped);
  EXPECT_EQ(state.title, "One");
  EXPECT_EQ(state.stoppedAt, stoppedAt);  // when it came, not when it was applied
  // Applying it opened a new interval, so the limit still holds.
  EXPECT_EQ(m_accounts->Apply("bob", Track("A", "Two")), CAccounts::EApply::kRateLimited);
}

TEST_F(AccountsTest, KeyChecksAreRememberedPerDigest) {
  std::string hash;
  const CKeyDigest right = DigestKey("1234");
  const CKeyDigest wrong = DigestKey("9999");
  EXPECT_EQ(m_accounts->CheckKey("nobody", right, &hash), CAccounts::EKeyCheck::kNoAccount);
  ASSERT_EQ(m_accounts->CheckKey("bob", right, &hash), CAccounts::EKeyCheck::kUnknown);
  EXPECT_TRUE(VerifyKey(hash, "1234"));
  EXPECT_FALSE(VerifyKey(hash, "9999"));
  m_accounts->RememberKeyCheck("bob", right, true);
  EXPECT_EQ(m_accounts->CheckKey("bob", right, &hash), CAccounts::EKeyCheck::kMatches);

  EXPECT_EQ(m_accounts->CheckKey("bob", wrong, &hash), CAccounts::EKeyCheck::kUnknown);
  m_accounts->RememberKeyCheck("bob", wrong, false);
  EXPECT_EQ(m_accounts->CheckKey("bob", wrong, &hash), CAccounts::EKeyCheck::kWrong);
  EXPECT_EQ(m_accounts->CheckKey("bob", right, &hash), CAccounts::EKeyCheck::kMatches);
}

TEST_F(AccountsTest, WrongKeysShowOnlyUntilTheFirstGoodReport) {
  m_accounts->RememberKeyCheck("bob", DigestKey("9"), false);
  EXPECT_TRUE(m_accounts->Find("bob")->wrongKey);
  ASSERT_EQ(m_accounts->Apply("bob", Track("A", "T")), CAccounts::EApply::kStored);
  EXPECT_FALSE(m_accounts->Find("bob")->wrongKey);
  // Someone else's wrong key cannot hide a real track.
  m_accounts->RememberKeyCheck("bob", DigestKey("8"), false);
  EXPECT_FALSE(m_accounts->Find("bob")->wrongKey);
}

TEST_F(AccountsTest, StatePersistsAndNamesAreUniqueInAnyCase) {
  ASSERT_EQ(m_accounts->Apply("bob", Track("\xc0", "T")), CAccounts::EApply::kStored);
  m_store->Flush();
  EXPECT_EQ(CreateAccountNow(*m_store, "BOB", "1", 1252), ECreateResult::kDuplicate);
  EXPECT_EQ(CreateAccountNow(*m_store, "bob.2", "1", 1252), ECreateResult::kCreated);

  m_accounts.reset();
  m_store = std::make_unique<CStore>(m_dir.File("accounts.sqlite"));
  CAccounts reopened(*m_store, m_clock, 2000);
  const auto view = reopened.Find("bOb");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->name, "Bob");
  EXPECT_EQ(view->codePage, 1251);
  EXPECT_EQ(view->state.playback, EPlayback::kPlaying);
  EXPECT_EQ(view->state.artist, "А");
  EXPECT_TRUE(reopened.Find("bob.2"));
  EXPECT_FALSE(reopened.Find("carol"));
}

TEST(UserName, WhatMayBeRegistered) {
  for (const std::string good :
       {"bo", "Bob", "b0b", "a.b_c-d", "0day", "x234567890123456789012345678901x"}) {
    EXPECT_TRUE(IsValidUserName(good)) << good;
  }
  for (const char* bad : {"", "b", "-bob", ".bob", "_bob", "bob smith", "bob&key=1", "bo?b", "b%20",
                          "b+b", "bøb", "b/b"}) {
    EXPECT_FALSE(IsValidUserName(bad)) << bad;
  }
  EXPECT_FALSE(IsValidUserName(std::string(33, 'x')));
  EXPECT_TRUE(IsReservedUserName("Username"));
  EXPECT_FALSE(IsReservedUserName("Usernames"));
}

}  // namespace
