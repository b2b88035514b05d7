// Tests of the accounts: the stopped state, the report rate limit, key checks and persistence.
#include "accounts/accounts.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "storage/write_queue.h"

namespace {

using EPlayback = CTrackState::EPlayback;

// Kept reports are applied when the test says, as its clock moves only then.
CAccountsOptions ManualOptions() {
  CAccountsOptions options;
  options.applyOnTime = false;
  return options;
}

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitKeyHashing());
    m_store = OpenStore(m_dir.File("accounts.sqlite"));
    ASSERT_EQ(CreateAccountNow(*m_store, "Bob", "1234", 1251), ECreateResult::kCreated);
    m_accounts = std::make_unique<CAccounts>(*m_store, m_clock, ManualOptions());
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
  CTrackState State() { return m_accounts->Held().Find("BOB")->state; }

  CTempDir m_dir;
  CFakeClock m_clock;
  std::unique_ptr<CStore> m_store;
  std::unique_ptr<CAccounts> m_accounts;
};

TEST_F(AccountsTest, StoppedKeepsTheLastTrackAndMarksTheTime) {
  EXPECT_EQ(State().playback, EPlayback::kNone);
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("\xca\xe8\xed\xee", "Song")),
            CAccounts::EApply::kStored);
  const int64_t trackAt = m_clock.WallSeconds();
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  EXPECT_EQ(State().artist, "Кино");  // the account's code page, 1251

  m_clock.Advance(60000);
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Stop()), CAccounts::EApply::kStored);
  const CTrackState stopped = State();
  EXPECT_EQ(stopped.playback, EPlayback::kStopped);
  EXPECT_EQ(stopped.artist, "Кино");
  EXPECT_EQ(stopped.title, "Song");
  EXPECT_EQ(stopped.album, "Album");
  EXPECT_EQ(stopped.trackAt, trackAt);
  EXPECT_EQ(stopped.stoppedAt, m_clock.WallSeconds());

  // A second stop (the player's final report at quit) keeps the time of the first.
  m_clock.Advance(60000);
  const uint64_t version = m_accounts->Held().Find("bob")->version;
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Stop()), CAccounts::EApply::kStored);
  EXPECT_EQ(State().stoppedAt, stopped.stoppedAt);
  EXPECT_EQ(m_accounts->Held().Find("bob")->version, version);

  m_clock.Advance(5000);
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("B", "Next")), CAccounts::EApply::kStored);
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  EXPECT_EQ(State().stoppedAt, 0);
  EXPECT_EQ(State().album, "Album");
}

TEST_F(AccountsTest, StopBeforeAnyTrack) {
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Stop()), CAccounts::EApply::kStored);
  EXPECT_EQ(State().playback, EPlayback::kStopped);
  EXPECT_EQ(State().trackAt, 0);
  EXPECT_EQ(State().artist, "");
}

TEST_F(AccountsTest, ReportsCloserThanTheIntervalAreDropped) {
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "One")), CAccounts::EApply::kStored);
  m_clock.Advance(1999);
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "Two")), CAccounts::EApply::kKept);
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Stop()), CAccounts::EApply::kKept);
  EXPECT_EQ(State().title, "One");
  m_clock.Advance(1);
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "Three")), CAccounts::EApply::kStored);
  EXPECT_EQ(State().title, "Three");
  // A dropped report does not move the window.
  m_clock.Advance(1000);
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "Four")), CAccounts::EApply::kKept);
  m_clock.Advance(1000);
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "Five")), CAccounts::EApply::kStored);
}

TEST_F(AccountsTest, TheLastReportThatCameTooSoonIsAppliedOnceTheIntervalHasPassed) {
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "One")), CAccounts::EApply::kStored);
  const int64_t stoppedAt = m_clock.WallSeconds() + 1;
  m_clock.Advance(1000);
  // The player's final report at quit, right after a track report.
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Stop()), CAccounts::EApply::kKept);
  m_clock.Advance(500);
  m_accounts->Kept().ApplyDueReports();
  m_store->Queue().Flush();
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  m_clock.Advance(500);
  m_accounts->Kept().ApplyDueReports();
  m_store->Queue().Flush();
  const CTrackState state = State();
  EXPECT_EQ(state.playback, EPlayback::kStopped);
  EXPECT_EQ(state.title, "One");
  EXPECT_EQ(state.stoppedAt, stoppedAt);  // when it came, not when it was applied
  // Applying it opened a new interval, so the limit still holds.
  EXPECT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "Two")), CAccounts::EApply::kKept);
}

TEST_F(AccountsTest, AKeptReportIsStoredAndSurvivesARestart) {
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "One")), CAccounts::EApply::kStored);
  m_clock.Advance(500);
  const int64_t stoppedAt = m_clock.WallSeconds();
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Stop()), CAccounts::EApply::kKept);
  // A restart before its turn: the kept report is in the file, and applied when due.
  m_accounts.reset();
  m_store = OpenStore(m_dir.File("accounts.sqlite"));
  m_accounts = std::make_unique<CAccounts>(*m_store, m_clock, ManualOptions());
  EXPECT_EQ(State().playback, EPlayback::kPlaying);
  m_clock.Advance(1500);
  m_accounts->Kept().ApplyDueReports();
  m_store->Queue().Flush();
  EXPECT_EQ(State().playback, EPlayback::kStopped);
  EXPECT_EQ(State().stoppedAt, stoppedAt);
  // Applied once: another restart finds nothing kept.
  m_accounts.reset();
  m_store = OpenStore(m_dir.File("accounts.sqlite"));
  EXPECT_TRUE(m_store->KeptReports().empty());
}

TEST_F(AccountsTest, SlowKeyChecksAreBoundedPerAccountAndAddress) {
  ASSERT_EQ(CreateAccountNow(*m_store, "amy", "1", 1252), ECreateResult::kCreated);
  std::string hash;
  const CKeyDigest right = DigestKey("1234");
  ASSERT_EQ(m_accounts->Keys().CheckKey("bob", right, true, &hash), CAccounts::EKeyCheck::kUnknown);
  // One slow check per account at a time; other accounts are not held up.
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", DigestKey("1"), true, &hash),
            CAccounts::EKeyCheck::kBusy);
  EXPECT_EQ(m_accounts->Keys().CheckKey("amy", DigestKey("1"), true, &hash),
            CAccounts::EKeyCheck::kUnknown);
  m_accounts->Keys().RememberKeyCheck("bob", right, true);

  constexpr auto kPlayer = CAccounts::EKeyFrom::kPlayer;
  const std::string guesser = "192.0.2.7";
  for (int i = 0; i < 20; ++i) {
    const CKeyDigest wrong = DigestKey(std::to_string(100 + i));
    ASSERT_EQ(m_accounts->Keys().CheckKey("bob", wrong, true, &hash, kPlayer, guesser),
              CAccounts::EKeyCheck::kUnknown);
    m_accounts->Keys().RememberKeyCheck("bob", wrong, false, true, kPlayer, guesser);
  }
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", DigestKey("999"), true, &hash, kPlayer, guesser),
            CAccounts::EKeyCheck::kLimited);
  EXPECT_EQ(m_accounts->Keys().KeyCheckRetryMs(guesser), 60000);
  // The guesser's address pays, not the account: the owner's keys from elsewhere are checked.
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", right, true, &hash, kPlayer, guesser),
            CAccounts::EKeyCheck::kMatches);
  EXPECT_EQ(
      m_accounts->Keys().CheckKey("bob", DigestKey("5678"), true, &hash, kPlayer, "198.51.100.1"),
      CAccounts::EKeyCheck::kUnknown);
  m_accounts->Keys().RememberKeyCheck("bob", DigestKey("5678"), false, false);
  m_clock.Advance(60000);
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", DigestKey("999"), true, &hash, kPlayer, guesser),
            CAccounts::EKeyCheck::kUnknown);
}

TEST_F(AccountsTest, KeyChecksAreRememberedPerDigest) {
  std::string hash;
  const CKeyDigest right = DigestKey("1234");
  const CKeyDigest wrong = DigestKey("9999");
  EXPECT_EQ(m_accounts->Keys().CheckKey("nobody", right, true, &hash),
            CAccounts::EKeyCheck::kNoAccount);
  ASSERT_EQ(m_accounts->Keys().CheckKey("bob", right, true, &hash), CAccounts::EKeyCheck::kUnknown);
  EXPECT_TRUE(VerifyKey(hash, "1234"));
  EXPECT_FALSE(VerifyKey(hash, "9999"));
  m_accounts->Keys().RememberKeyCheck("bob", right, true);
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", right, true, &hash), CAccounts::EKeyCheck::kMatches);

  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", wrong, true, &hash), CAccounts::EKeyCheck::kUnknown);
  m_accounts->Keys().RememberKeyCheck("bob", wrong, false);
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", wrong, true, &hash), CAccounts::EKeyCheck::kWrong);
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", right, true, &hash), CAccounts::EKeyCheck::kMatches);
}

TEST_F(AccountsTest, WrongKeysShowOnlyUntilTheFirstGoodReport) {
  m_accounts->Keys().RememberKeyCheck("bob", DigestKey("9"), false);
  EXPECT_TRUE(m_accounts->Held().Find("bob")->wrongKey);
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "T")), CAccounts::EApply::kStored);
  EXPECT_FALSE(m_accounts->Held().Find("bob")->wrongKey);
  // Someone else's wrong key cannot hide a real track.
  m_accounts->Keys().RememberKeyCheck("bob", DigestKey("8"), false);
  EXPECT_FALSE(m_accounts->Held().Find("bob")->wrongKey);
}

TEST_F(AccountsTest, StatePersistsAndNamesAreUniqueInAnyCase) {
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("\xc0", "T")), CAccounts::EApply::kStored);
  m_store->Queue().Flush();
  EXPECT_EQ(CreateAccountNow(*m_store, "BOB", "1", 1252), ECreateResult::kDuplicate);
  EXPECT_EQ(CreateAccountNow(*m_store, "bob.2", "1", 1252), ECreateResult::kCreated);

  m_accounts.reset();
  m_store = OpenStore(m_dir.File("accounts.sqlite"));
  CAccounts reopened(*m_store, m_clock, ManualOptions());
  const auto view = reopened.Held().Find("bOb");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->name, "Bob");
  EXPECT_EQ(view->codePage, 1251);
  EXPECT_EQ(view->state.playback, EPlayback::kPlaying);
  EXPECT_EQ(view->state.artist, "А");
  EXPECT_TRUE(reopened.Held().Find("bob.2"));
  EXPECT_FALSE(reopened.Held().Find("carol"));
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

namespace {

// Waits for the outcome of an account change.
bool ChangeNow(const std::function<void(CAccounts::ChangeDone)>& change) {
  std::promise<bool> done;
  change([&done](bool stored, const std::string&) { done.set_value(stored); });
  return done.get_future().get();
}

// A deleted account takes its kept report, settings and key with it: the same name registered
// again starts empty, even once the old kept report would have been due, also after a restart;
// and a replaced key refuses the old one, whose check was under way.
TEST_F(AccountsTest, DeletionAndNewKeysLeaveNothingOfTheOldAccount) {
  std::string hash;
  ASSERT_EQ(m_accounts->Keys().CheckKey("bob", DigestKey("1234"), true, &hash),
            CAccounts::EKeyCheck::kUnknown);
  ASSERT_TRUE(ChangeNow([&](CAccounts::ChangeDone done) {
    m_accounts->Changes().ReplaceKey("bob", HashKey("5678"), DigestKey("5678"), "", done);
  }));
  EXPECT_FALSE(
      m_accounts->Keys().RememberKeyCheck("bob", DigestKey("1234"), VerifyKey(hash, "1234")));
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", DigestKey("5678"), true, &hash),
            CAccounts::EKeyCheck::kMatches);
  EXPECT_EQ(m_accounts->Keys().CheckKey("bob", DigestKey("1234"), true, &hash),
            CAccounts::EKeyCheck::kUnknown);
  m_accounts->Keys().RememberKeyCheck("bob", DigestKey("1234"), false);

  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "One")), CAccounts::EApply::kStored);
  ASSERT_EQ(ApplyNow(*m_accounts, "bob", Track("A", "Kept")), CAccounts::EApply::kKept);
  CAccountSettings look;
  look.layout = "userbar";
  ASSERT_TRUE(ChangeNow(
      [&](CAccounts::ChangeDone done) { m_accounts->Changes().SaveSettings("bob", look, done); }));
  const uint64_t oldVersion = m_accounts->Held().Find("bob")->version;
  ASSERT_TRUE(
      ChangeNow([&](CAccounts::ChangeDone done) { m_accounts->Changes().Remove("BOB", done); }));
  EXPECT_FALSE(m_accounts->Held().Find("bob"));
  ASSERT_EQ(CreateAccountNow(*m_store, "bob", "1", 1252), ECreateResult::kCreated);
  m_clock.Advance(5000);
  m_accounts->Kept().ApplyDueReports();
  m_store->Queue().Flush();
  const std::optional<CAccounts::CView> fresh = m_accounts->Held().Find("bob");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->state.playback, EPlayback::kNone);
  EXPECT_EQ(fresh->settings.layout, "card");
  EXPECT_NE(fresh->version, oldVersion);  // no cached image of the old account can match
  m_accounts.reset();
  m_accounts = std::make_unique<CAccounts>(*m_store, m_clock, ManualOptions());
  m_clock.Advance(5000);
  m_accounts->Kept().ApplyDueReports();
  m_store->Queue().Flush();
  EXPECT_EQ(State().playback, EPlayback::kNone);
}

}  // namespace
