// Tests of other players' submissions as listens: every listen of an import or a scrobble batch,
// in order, and nothing from what only plays now.
#include "players/player_submissions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(PlayerSubmissions, EveryListenOfASubmissionInOrder) {
  constexpr int kCount = 1000;
  std::string body = R"({"listen_type":"import","payload":[)";
  for (int i = 0; i < kCount; ++i) {
    // Out of time order, as exports may be: the order of the document is kept.
    body += (i ? "," : "") + std::string(R"({"listened_at":)") +
            std::to_string(1700000000 + (i * 7919) % kCount) +
            R"(,"track_metadata":{"artist_name":" Artist )" + std::to_string(i) +
            R"(","track_name":"Track","release_name":"Альбом"}})";
  }
  body += "]}";
  CKeptReport newest;
  std::vector<CListen> listens;
  ASSERT_EQ(ParseListenSubmission(body, &newest, &listens), "");
  ASSERT_EQ(listens.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(listens[i].at, 1700000000 + (i * 7919) % kCount);
    EXPECT_EQ(listens[i].artist, "Artist " + std::to_string(i));
    EXPECT_EQ(listens[i].album, "Альбом");
    EXPECT_EQ(listens[i].source, CListen::ESource::kListenBrainz);
  }
  EXPECT_EQ(newest.startedAt, 1700000000 + kCount - 1);

  // playing_now is no listen; a refused document leaves the listens as they were.
  const std::string now =
      R"({"listen_type":"playing_now","payload":[{"track_metadata":{"artist_name":"A",)"
      R"("track_name":"B"}}]})";
  ASSERT_EQ(ParseListenSubmission(now, &newest, &listens), "");
  EXPECT_TRUE(listens.empty());
  listens.resize(1);
  const std::string early =
      R"({"listen_type":"single","payload":[{"listened_at":1033430399,"track_metadata":)"
      R"({"artist_name":"A","track_name":"B"}}]})";
  EXPECT_EQ(ParseListenSubmission(early, &newest, &listens),
            "Listen 0: listened_at must be 1033430400 (2002-10-01) or later.");
  EXPECT_EQ(listens.size(), 1u);

  const auto batch = DecodeScrobbleFields(
      "s=x&a[0]=Kino&t[0]=Gruppa%20krovi&b[0]=LP&i[0]=1700000100&"
      "a[1]=Second&t[1]=T&i[1]=1700000000&a[2]=Third&t[2]=T&i[2]=1700000200");
  CKeptReport report;
  ASSERT_EQ(ParseScrobbleReport(batch, false, &report, &listens), "");
  ASSERT_EQ(listens.size(), 3u);
  EXPECT_EQ((std::vector<std::string>{listens[0].artist, listens[1].artist, listens[2].artist}),
            (std::vector<std::string>{"Kino", "Second", "Third"}));
  EXPECT_EQ((std::vector<int64_t>{listens[0].at, listens[1].at, listens[2].at}),
            (std::vector<int64_t>{1700000100, 1700000000, 1700000200}));
  EXPECT_EQ(listens[0].title, "Gruppa krovi");
  EXPECT_EQ(listens[0].album, "LP");
  EXPECT_EQ(listens[2].source, CListen::ESource::kAudioscrobbler);
  ASSERT_EQ(ParseScrobbleReport(DecodeScrobbleFields("s=x&a=A&t=T"), true, &report, &listens), "");
  EXPECT_TRUE(listens.empty());
}
