// Tests of the tag questions to the host and of the artist/title guess from a file path.
#include "reporter/track_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/fake/fake_host.h"
#include "tests/support/scoped_platform.h"

namespace {

struct CGuessRow {
  const char* path;
  const char* artist;
  const char* title;
};

TEST(GuessTagFromFileName, FollowsTheSplitRulesForEveryPath) {
  const CGuessRow rows[] = {
      {"C:\\Music\\Some Band - Hello World.mp3", "Some Band ", " Hello World"},
      {"C:\\Music\\X-Ray - Song.mp3", "X-Ray ", " Song"},
      {"C:\\Music\\Band - Song-Remix.mp3", "Band - Song", "Remix"},
      {"C:\\Music\\Hello World.mp3", "", "C:\\Music\\Hello World"},
      {"C:\\Pop-Rock\\Hello.mp3", "", "Rock\\Hello"},
      {"C:\\Music\\Band - Song.MP3", "Band ", ""},
      {"", "", ""},
      // No backslash: the artist starts at the path's start; "/" does not separate folders.
      {"Band - Song.mp3", "Band ", " Song"},
      {"C:/Music/Band - Song.mp3", "C:/Music/Band ", " Song"},
      // The first ".mp3" ends the title wherever it stands; before the last "-" it gives nothing.
      {"C:\\Music\\Band - Song.mp3.wav", "Band ", " Song"},
      {"C:\\Music\\Song.mp3 - Live", "Song.mp3 ", ""},
      {"C:\\Music\\Band - Song.ogg", "Band ", ""},
      // Bytes above 0x7F are positions like any other.
      {"C:\\M\xFCsik\\Bj\xF6rk - J\xF3ga.mp3", "Bj\xF6rk ", " J\xF3ga"},
  };
  std::string out = "left over from an earlier call";
  for (const CGuessRow& row : rows) {
    SCOPED_TRACE(row.path);
    GuessTagFromFileName(row.path, kTagArtist, out);
    EXPECT_EQ(out, row.artist);
    GuessTagFromFileName(row.path, kTagTitle, out);
    EXPECT_EQ(out, row.title);
  }
}

TEST(GuessTagFromFileName, AbsentPathAndOtherTagNames) {
  EXPECT_EQ(GuessTagFromFileName(nullptr, kTagArtist), "");
  EXPECT_EQ(GuessTagFromFileName(nullptr, kTagTitle), "");
  const char* path = "C:\\Music\\Band - Song.mp3";
  EXPECT_EQ(GuessTagFromFileName(path, kTagAlbum), "0");
  EXPECT_EQ(GuessTagFromFileName(nullptr, kTagGenre), "0");
  // The tag name is compared exactly: lower case is "any other tag name".
  EXPECT_EQ(GuessTagFromFileName(path, "artist"), "0");
  EXPECT_EQ(GuessTagFromFileName(path, "Title"), "0");
}

class GetTagValueTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_.Host(host_);
    std::memset(TagAnswerBuffer, 0, kTagAnswerSize);
  }

  CFakeHost host_;
  CScopedPlatform platform_;
};

TEST_F(GetTagValueTest, AsksWithTheSharedBufferAndReturnsItsText) {
  const std::string path = "C:\\Music\\a.mp3";
  host_.SetTag(path, "ARTIST", "Salt & Sand");

  const char* value = GetTagValue(path.c_str(), kTagArtist);

  ASSERT_EQ(value, TagAnswerBuffer);
  EXPECT_STREQ(value, "Salt & Sand");
  ASSERT_EQ(host_.Questions().size(), 1u);
  const CHostQuestion& question = host_.Questions()[0];
  EXPECT_EQ(question.lparam, kIpcGetExtendedFileInfo);
  EXPECT_EQ(question.tag_name, "ARTIST");
  EXPECT_EQ(question.file_name, path);
  EXPECT_EQ(question.answer_buffer, TagAnswerBuffer);
  EXPECT_EQ(question.answer_size, 256);
}

TEST_F(GetTagValueTest, NoValueIsNoneButAnEmptyValueIsText) {
  const std::string path = "C:\\Music\\a.mp3";
  host_.SetTag(path, "TITLE", "");
  EXPECT_EQ(GetTagValue(path.c_str(), kTagArtist), nullptr);
  const char* title = GetTagValue(path.c_str(), kTagTitle);
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(title, "");
}

TEST_F(GetTagValueTest, AbsentPathIsPassedOn) {
  EXPECT_EQ(GetTagValue(nullptr, kTagYear), nullptr);
  ASSERT_EQ(host_.Questions().size(), 1u);
  EXPECT_TRUE(host_.Questions()[0].file_name_null);
  EXPECT_EQ(host_.Questions()[0].tag_name, "YEAR");
}

TEST_F(GetTagValueTest, ValuesStopAt255Characters) {
  const std::string path = "a.mp3";
  host_.SetTag(path, "GENRE", std::string(300, 'g'));
  EXPECT_EQ(std::string(GetTagValue(path.c_str(), kTagGenre)), std::string(255, 'g'));

  // A host that fills the buffer without a terminator still yields 255 characters and no more.
  host_.SetUnterminatedAnswers(true);
  host_.SetTag(path, "ALBUM", "xy");
  const char* album = GetTagValue(path.c_str(), kTagAlbum);
  ASSERT_NE(album, nullptr);
  EXPECT_EQ(std::strlen(album), 255u);
}

}  // namespace
