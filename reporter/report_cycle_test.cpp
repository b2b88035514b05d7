// Tests of one run of the report cycle: gate, questions, URL, change key, state and hand-over.
#include "reporter/report_cycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "delivery/send_report.h"
#include "delivery/service_url.h"
#include "framework/format.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "reporter/reporter_state.h"
#include "settings/settings.h"
#include "tests/support/cycle_fakes.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Field;

const std::string kBase = kServiceBaseUrl;
const std::string kPath = "C:\\Music\\track.mp3";

std::string TrackUrl(const std::string& account, const std::string& tags) {
  return kBase + "/?" + account + tags;
}

class ReportCycleTest : public testing::Test {
 protected:
  void TearDown() override { FinishReports(); }

  // Plays `path` at list position 4 with ARTIST and TITLE (and no other tags).
  void Play(const std::string& artist, const std::string& title, const std::string& path = kPath) {
    host_.Play(4, path, {{"ARTIST", artist}, {"TITLE", title}});
  }

  // One tick, with the host's record of questions cleared first.
  void Tick() {
    host_.ClearQuestions();
    OnReportTimer();
  }

  // The URL copies handed to workers that have not run yet, oldest first.
  std::vector<std::string> PendingUrls() const {
    std::vector<std::string> urls;
    for (const auto& worker : threads_.PendingWorkers()) {
      urls.emplace_back(static_cast<const ReportJob*>(worker.arg)->Url);
    }
    return urls;
  }

  // Runs the pending workers, as if their exchanges had ended: each clears RequestInFlight.
  void FinishReports() { threads_.RunPendingWorkers(); }

  std::string Url() const { return ReporterState.ReportUrl; }

  CFakeHost host_;
  CFakeThreads threads_{CFakeThreads::Mode::kRecord};
  CFakeInternet internet_;
  CCycleFakes cycle_{host_, threads_, internet_};
};

TEST_F(ReportCycleTest, WorkedExampleReportsOnceThenRecognisesTheTrack) {
  host_.Play(7, kPath,
             {{"ARTIST", "Salt & Sand"},
              {"TITLE", "Wave (Live)"},
              {"ALBUM", "Tides"},
              {"YEAR", "2001"},
              {"GENRE", "Rock"}});
  Tick();

  const std::string expected = TrackUrl(
      "user=alice&key=k3y",
      "&artist=Salt%20%26%20Sand&title=Wave%20%28Live%29&album=Tides&year=2001&genre=Rock");
  EXPECT_EQ(Url(), expected);
  EXPECT_THAT(PendingUrls(), ElementsAre(expected));
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 1);
  EXPECT_EQ(ReporterState.LastReported, "Salt%20%26%20Sand - Wave%20%28Live%29");
  EXPECT_EQ(ReporterState.StoppedSent, 0);

  // Eight questions in order; the list position goes back unchanged; every tag question names the
  // file the host gave.
  EXPECT_THAT(host_.Operations(),
              ElementsAre(kIpcIsPlaying, kIpcGetListPos, kIpcGetPlaylistFile,
                          kIpcGetExtendedFileInfo, kIpcGetExtendedFileInfo, kIpcGetExtendedFileInfo,
                          kIpcGetExtendedFileInfo, kIpcGetExtendedFileInfo));
  EXPECT_EQ(host_.Questions()[2].wparam, 7u);
  EXPECT_THAT(host_.TagNamesAsked(), ElementsAre("ARTIST", "TITLE", "ALBUM", "YEAR", "GENRE"));
  for (std::size_t i = 3; i < 8; ++i) EXPECT_EQ(host_.Questions()[i].file_name, kPath);

  // In flight: the next tick asks nothing.
  Tick();
  EXPECT_TRUE(host_.Questions().empty());

  // Finished: the same track costs five questions and starts nothing.
  FinishReports();
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  Tick();
  EXPECT_EQ(host_.Questions().size(), 5u);
  EXPECT_TRUE(PendingUrls().empty());
  EXPECT_EQ(threads_.WorkersStarted(), 1);
}

// One row per situation: the state before, the play answer, and what the tick must leave.
struct CTickRow {
  const char* situation;
  int enabled;
  int in_flight;
  std::intptr_t play_state;
  int stopped_sent;
  const char* last_reported;
  const char* report;  // "track", "stopped" or nullptr for none
  int stopped_sent_after;
  const char* last_reported_after;
  std::size_t questions;
};

TEST_F(ReportCycleTest, TickTable) {
  const CTickRow rows[] = {
      {"disabled, new track", 0, 0, 1, 0, "stopped", nullptr, 0, "stopped", 0},
      {"disabled, not playing", 0, 0, 0, 0, "Band - Song", nullptr, 0, "Band - Song", 0},
      {"in flight, new track", 1, 1, 1, 1, "stopped", nullptr, 1, "stopped", 0},
      {"in flight, not playing", 1, 1, 0, 0, "Band - Song", nullptr, 0, "Band - Song", 0},
      {"stopped (0)", 1, 0, 0, 0, "Band - Song", "stopped", 1, "stopped", 1},
      {"paused (3)", 1, 0, 3, 0, "Band - Song", "stopped", 1, "stopped", 1},
      {"answer 2", 1, 0, 2, 0, "Band - Song", "stopped", 1, "stopped", 1},
      {"answer -1", 1, 0, -1, 0, "Band - Song", "stopped", 1, "stopped", 1},
      {"not playing, stop sent", 1, 0, 0, 1, "stopped", nullptr, 1, "stopped", 1},
      {"same track", 1, 0, 1, 0, "Band - Song", nullptr, 0, "Band - Song", 5},
      {"new track after stop", 1, 0, 1, 1, "stopped", "track", 0, "Band - Song", 8},
      {"new track after track", 1, 0, 1, 0, "Other - Key", "track", 0, "Band - Song", 8},
      {"same key, other case", 1, 0, 1, 0, "band - song", "track", 0, "Band - Song", 8},
  };
  const std::string stopped_url = kBase + "/?user=alice&key=k3y&artist=stopped&title=stopped";
  const std::string track_url =
      TrackUrl("user=alice&key=k3y", "&artist=Band&title=Song&album=&year=&genre=");

  for (const CTickRow& row : rows) {
    SCOPED_TRACE(row.situation);
    Play("Band", "Song");
    host_.SetPlayState(row.play_state);
    Settings.Enabled = row.enabled;
    ReporterState.RequestInFlight.store(row.in_flight);
    ReporterState.StoppedSent = row.stopped_sent;
    ReporterState.LastReported = row.last_reported;
    std::memset(ReporterState.ReportUrl, 0, kReportUrlSize);

    Tick();

    const std::vector<std::string> pending = PendingUrls();
    if (row.report == nullptr) {
      EXPECT_TRUE(pending.empty());
      EXPECT_EQ(Url(), "");
      EXPECT_EQ(ReporterState.RequestInFlight.load(), row.in_flight);
    } else {
      const std::string& expected = std::strcmp(row.report, "track") == 0 ? track_url : stopped_url;
      EXPECT_THAT(pending, ElementsAre(expected));
      EXPECT_EQ(Url(), expected);
      EXPECT_EQ(ReporterState.RequestInFlight.load(), 1);
    }
    EXPECT_EQ(ReporterState.StoppedSent, row.stopped_sent_after);
    EXPECT_EQ(ReporterState.LastReported, row.last_reported_after);
    EXPECT_EQ(host_.Questions().size(), row.questions);
    FinishReports();
  }
}

TEST_F(ReportCycleTest, PauseReportsStoppedOnceAndTheSameTrackAgainAfterIt) {
  Play("Band", "Song");
  Tick();
  FinishReports();
  host_.SetPlayState(3);
  Tick();
  EXPECT_THAT(PendingUrls(),
              ElementsAre(kBase + "/?user=alice&key=k3y&artist=stopped&title=stopped"));
  EXPECT_THAT(host_.Operations(), ElementsAre(kIpcIsPlaying));
  FinishReports();
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_TRUE(PendingUrls().empty());

  host_.SetPlayState(1);
  Tick();
  EXPECT_EQ(PendingUrls().size(), 1u);
  EXPECT_EQ(ReporterState.LastReported, "Band - Song");
  EXPECT_EQ(ReporterState.StoppedSent, 0);
  EXPECT_EQ(threads_.WorkersStarted(), 3);
}

TEST_F(ReportCycleTest, MissingArtistOrTitleTakesBothFromTheFileName) {
  const std::string path = "C:\\Music\\Some Band - Hello World.mp3";
  const char* guessed_key = "Some%20Band%20 - %20Hello%20World";

  Play("Host Artist", "", path);  // a title that is present but empty
  Tick();
  EXPECT_EQ(ReporterState.LastReported, guessed_key);
  EXPECT_THAT(Url(), testing::HasSubstr("&artist=Some%20Band%20&title=%20Hello%20World&"));
  FinishReports();

  // Untagged: no value at all gives the same key, so nothing new is sent.
  host_.ClearTags(path);
  Tick();
  EXPECT_EQ(host_.Questions().size(), 5u);
  EXPECT_TRUE(PendingUrls().empty());
}

TEST_F(ReportCycleTest, NoFilePathSendsOneReportWithEmptyValues) {
  host_.SetPlayState(1);
  host_.SetListPosition(2);
  host_.SetEntry(2, std::nullopt);
  Tick();
  EXPECT_EQ(ReporterState.LastReported, " - ");
  EXPECT_EQ(Url(), TrackUrl("user=alice&key=k3y", "&artist=&title=&album=&year=&genre="));
  EXPECT_EQ(host_.Questions().size(), 8u);
  for (std::size_t i = 3; i < 8; ++i) EXPECT_TRUE(host_.Questions()[i].file_name_null);
}

TEST_F(ReportCycleTest, ChangesOutsideTheKeySendNothing) {
  host_.Play(1, kPath, {{"ARTIST", "A"}, {"TITLE", "A B"}, {"ALBUM", "One"}});
  Tick();
  FinishReports();

  // "_" escapes like a blank, so the key is the same.
  host_.Play(1, kPath, {{"ARTIST", "A"}, {"TITLE", "A_B"}, {"ALBUM", "One"}});
  Tick();
  // Album, year or genre alone; another entry with the same artist and title.
  host_.Play(1, kPath, {{"ARTIST", "A"}, {"TITLE", "A B"}, {"ALBUM", "Two"}, {"YEAR", "1999"}});
  Tick();
  host_.Play(9, "D:\\other.mp3", {{"ARTIST", "A"}, {"TITLE", "A B"}});
  Tick();
  EXPECT_EQ(threads_.WorkersStarted(), 1);
  EXPECT_EQ(host_.Questions().size(), 5u);
}

TEST_F(ReportCycleTest, AccountFieldsAreReadEachTimeAndNotEscaped) {
  Settings.User = "a&b c";
  Settings.Key = "k=1";
  Play("Band", "Song");
  Tick();
  EXPECT_EQ(Url(), TrackUrl("user=a&b c&key=k=1", "&artist=Band&title=Song&album=&year=&genre="));
  FinishReports();

  // A new user name reaches the service with the next report, not before.
  Settings.User = "bob";
  Tick();
  EXPECT_TRUE(PendingUrls().empty());
  host_.SetPlayState(0);
  Tick();
  EXPECT_EQ(Url(), kBase + "/?user=bob&key=k=1&artist=stopped&title=stopped");
}

TEST_F(ReportCycleTest, ControlBytesInTagsReachTheUrlEscaped) {
  Play("Evil\r\nHost: x", "T\tab");
  Tick();
  EXPECT_THAT(Url(), testing::HasSubstr("&artist=Evil%0D%0AHost%3A%20x&title=T%09ab&"));
  for (const char c : Url()) EXPECT_FALSE(std::iscntrl(static_cast<unsigned char>(c)));
}

// True when every "%" from `from` on starts a complete escape.
bool EscapesComplete(const std::string& url, std::size_t from) {
  for (std::size_t i = url.find('%', from); i != std::string::npos; i = url.find('%', i + 1)) {
    if (i + 2 >= url.size() || !std::isxdigit(static_cast<unsigned char>(url[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(url[i + 2]))) {
      return false;
    }
  }
  return true;
}

TEST_F(ReportCycleTest, LongUrlsAreCutAt1023CharactersOutsideEscapes) {
  // Plain values: cut at exactly 1,023 characters.
  Play(std::string(255, 'a'), std::string(255, 'b'));
  host_.SetTag(kPath, "ALBUM", std::string(255, 'c'));
  host_.SetTag(kPath, "GENRE", std::string(255, 'g'));
  Tick();
  const std::string plain = Url();
  EXPECT_EQ(plain.size(), 1023u);
  EXPECT_EQ(plain.substr(0, 50), TrackUrl("user=alice&key=k3y", "&artist=aaaa").substr(0, 50));
  FinishReports();

  // Values made only of escapes: shifting the user name by one character at a time moves the cut
  // through each position of an escape; the URL is the longest well-formed prefix.
  std::vector<std::size_t> lengths;
  for (int shift = 0; shift < 3; ++shift) {
    SCOPED_TRACE(shift);
    Settings.User = std::string(1 + shift, 'u');
    ReporterState.LastReported = kStoppedKey;
    Play(std::string(255, '&'), std::string(255, '&'));
    Tick();
    std::string escaped;
    for (int i = 0; i < 255; ++i) escaped += "%26";
    const std::string account = "user=" + Settings.User + "&key=k3y";
    const std::string full =
        TrackUrl(account, "&artist=" + escaped + "&title=" + escaped + "&album=&year=&genre=");
    const std::string url = Url();
    ASSERT_GE(url.size(), 1021u);
    ASSERT_LE(url.size(), 1023u);
    EXPECT_EQ(url, full.substr(0, url.size()));
    EXPECT_TRUE(EscapesComplete(url, TrackUrl(account, "&artist=").size())) << url.substr(1000);
    // Only a partial escape was dropped: a shorter URL ends just before an escape.
    if (url.size() < 1023u) {
      EXPECT_EQ(full[url.size()], '%');
    }
    EXPECT_THAT(PendingUrls(), ElementsAre(url));
    lengths.push_back(url.size());
    FinishReports();
  }
  EXPECT_THAT(lengths, testing::UnorderedElementsAre(1021u, 1022u, 1023u));
}

TEST_F(ReportCycleTest, ALiteralPercentInTheUserNameIsNotAnEscape) {
  // A user name whose own "%" lands in the last two places of the cut URL stays whole.
  const std::size_t head = kBase.size() + std::strlen("/?user=");
  Settings.User = std::string(1023 - head - 1, 'u') + "%";
  Play("Band", "Song");
  Tick();
  EXPECT_EQ(std::strlen(ReporterState.ReportUrl), 1023u);
  EXPECT_EQ(ReporterState.ReportUrl[1022], '%');
}

TEST_F(ReportCycleTest, AWorkerThatCannotStartLeavesTheStateForTheNextTick) {
  // Track branch: StoppedSent and LastReported as before; the next tick reports the track.
  Play("Band", "Song");
  ReporterState.StoppedSent = 1;
  threads_.faults.start_worker.FailNth(1, false);
  Tick();
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  EXPECT_EQ(ReporterState.StoppedSent, 1);
  EXPECT_EQ(ReporterState.LastReported, "stopped");
  EXPECT_TRUE(PendingUrls().empty());
  Tick();
  EXPECT_EQ(PendingUrls().size(), 1u);
  EXPECT_EQ(ReporterState.LastReported, "Band - Song");
  FinishReports();

  // Stopped branch likewise.
  host_.SetPlayState(0);
  threads_.faults.start_worker.FailNth(1, false);
  Tick();
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  EXPECT_EQ(ReporterState.StoppedSent, 0);
  EXPECT_EQ(ReporterState.LastReported, "Band - Song");
  Tick();
  EXPECT_EQ(PendingUrls().size(), 1u);
  EXPECT_EQ(ReporterState.StoppedSent, 1);
  EXPECT_EQ(ReporterState.LastReported, "stopped");
  FinishReports();

  // A start that throws (out of memory inside the system) counts as one that failed: the gate
  // does not stay shut for good.
  Play("Other", "Song");
  threads_.faults.start_worker.ThrowNth(1);
  EXPECT_NO_THROW(Tick());
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  EXPECT_EQ(ReporterState.StoppedSent, 1);
  EXPECT_EQ(ReporterState.LastReported, "stopped");
  Tick();
  EXPECT_EQ(PendingUrls().size(), 1u);
  EXPECT_EQ(ReporterState.LastReported, "Other - Song");
}

TEST_F(ReportCycleTest, AWorkerThatEndsAtOnceLeavesTheGateOpen) {
  // The flag is set before the worker starts, so a worker that is over before StartWorker returns
  // still leaves it clear; and a report that failed on the network is not sent again.
  threads_.SetMode(CFakeThreads::Mode::kInline);
  internet_.faults.call.FailNth(1, true);
  Play("Band", "Song");
  Tick();
  EXPECT_EQ(threads_.WorkersStarted(), 1);
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  EXPECT_FALSE(internet_.Calls().empty());
  Tick();
  EXPECT_EQ(threads_.WorkersStarted(), 1);
  EXPECT_EQ(host_.Questions().size(), 5u);
}

TEST_F(ReportCycleTest, StoppedReportFormatForQuit) {
  char url[kFormatLimit];
  FormatStoppedReport(url);
  EXPECT_STREQ(url, (kBase + "/?user=alice&key=k3y&artist=stopped&title=stopped").c_str());
}

}  // namespace
