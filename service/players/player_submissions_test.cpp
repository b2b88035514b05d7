// Tests of other players' submissions as listens: all of an import or a scrobble batch, in order.
#include "players/player_submissions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(PlayerSubmissions, EveryListenOfASubmissionInOrder) {
  std::string body = R"({"listen_type":"import","payload":[)";
  for (int i = 0; i < 1000; ++i) {
    // Out of time order, as exports may be: the document's order is kept.
    body += (i ? R"(,{"listened_at":)" : R"({"listened_at":)") +
            std::to_string(1700000000 + (i * 7919) % 1000) + R"(,"track_metadata":{)" +
            R"("artist_name":" Artist )" + std::to_string(i) +
            R"(","track_name":"T","release_name":"Альбом"}})";
  }
  CKeptReport newest;
  std::vector<CListen> listens;
  ASSERT_EQ(ParseListenSubmission(body + "]}", &newest, &listens), "");
  ASSERT_EQ(listens.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    const CListen& one = listens[i];
    EXPECT_EQ(std::make_tuple(one.at, one.artist, one.title, one.album, one.source),
              std::make_tuple(1700000000 + (i * 7919) % 1000, "Artist " + std::to_string(i), "T",
                              "Альбом", CListen::ESource::kListenBrainz));
  }
  EXPECT_EQ(newest.startedAt, 1700000999);

  const auto batch = DecodeScrobbleFields(
      "a[0]=Kino&t[0]=Gruppa%20krovi&b[0]=LP&i[0]=1700000100&"
      "a[1]=B&t[1]=T&i[1]=1700000000&a[2]=C&t[2]=T&i[2]=9");
  ASSERT_EQ(ParseScrobbleReport(batch, false, &newest, &listens), "");
  ASSERT_EQ(listens.size(), 3u);
  EXPECT_EQ(
      std::make_tuple(listens[0].at, listens[0].artist, listens[0].title, listens[0].album,
                      listens[0].source),
      std::make_tuple(1700000100, "Kino", "Gruppa krovi", "LP", CListen::ESource::kAudioscrobbler));
  EXPECT_EQ(std::make_tuple(listens[1].at, listens[2].artist), std::make_tuple(1700000000, "C"));
  ASSERT_EQ(ParseScrobbleReport(DecodeScrobbleFields("a=A&t=T"), true, &newest, &listens), "");
  EXPECT_TRUE(listens.empty());
}
