// The Audioscrobbler 1.2 endpoints for other players: handshake, now-playing notices, submissions.
#include "players/audioscrobbler_room.h"

#include <cstdlib>
#include <map>
#include <optional>

#include "accounts/player_token.h"
#include "accounts/user_name.h"
#include "base/log.h"
#include "http/form_decode.h"
#include "players/player_reports.h"
#include "players/player_submissions.h"
#include "render/code_page.h"
#include "render/style.h"

namespace {

constexpr size_t kScrobbleBodyBytes = 256u << 10;  // 50 entries of long, escaped tags
// How far a handshake's timestamp may be from the service's clock.
constexpr int64_t kMaxClockSkewSeconds = 600;
// Entries of one submission looked at; the protocol allows 50.
constexpr int kMaxEntries = 50;

std::string Field(const std::map<std::string, std::string>& fields, const std::string& name) {
  auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

// A decimal number of 1 to 12 digits, or nothing.
std::optional<int64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

CHttpResponse Answer(std::string text, int status = 200) {
  return TextResponse(status, std::move(text));
}

std::string_view QueryOf(std::string_view target) {
  const size_t question = target.find('?');
  return question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
}

// The report of an entry's fields: "a", "t", "b", "l" (plus `suffix`, such as "[0]").
CKeptReport Entry(const std::map<std::string, std::string>& fields, const std::string& suffix) {
  CKeptReport report;
  report.artist = TrimBlanks(CleanUtf8(Field(fields, "a" + suffix)));
  report.title = TrimBlanks(CleanUtf8(Field(fields, "t" + suffix)));
  report.album = TrimBlanks(CleanUtf8(Field(fields, "b" + suffix)));
  report.durationS = Number(Field(fields, "l" + suffix)).value_or(0);
  return report;
}

}  // namespace

std::map<std::string, std::string> DecodeScrobbleFields(std::string_view text) {
  std::map<std::string, std::string> fields;
  for (const CFormField& field : SplitForm(text)) {
    fields.emplace(PercentDecode(field.name), PercentDecode(field.rawValue));
  }
  return fields;
}

std::string ParseScrobbleReport(const std::map<std::string, std::string>& fields, bool nowPlaying,
                                CKeptReport* report, std::vector<CListen>* listens) {
  if (nowPlaying) {
    *report = Entry(fields, "");
    report->source = CKeptReport::ESource::kNowPlaying;
    if (report->artist.empty() || report->title.empty()) {
      return "A now-playing notice needs an artist (a) and a title (t).";
    }
    if (listens) listens->clear();
    return "";
  }
  int entries = 0;
  std::vector<CListen> all;
  for (int i = 0; i < kMaxEntries; ++i) {
    const std::string suffix = "[" + std::to_string(i) + "]";
    if (fields.find("a" + suffix) == fields.end()) break;
    CKeptReport entry = Entry(fields, suffix);
    const std::optional<int64_t> startedAt = Number(Field(fields, "i" + suffix));
    if (entry.artist.empty() || entry.title.empty() || !startedAt || *startedAt == 0) {
      return "Entry " + std::to_string(i) + " needs an artist, a title and a start time (a, t, i).";
    }
    entry.startedAt = *startedAt;
    if (listens) {
      all.push_back({entry.startedAt, entry.artist, entry.title, entry.album,
                     CListen::ESource::kAudioscrobbler});
    }
    if (entries++ == 0 || entry.startedAt > report->startedAt) *report = std::move(entry);
  }
  if (entries == 0) return "The submission holds no entries.";
  report->source = CKeptReport::ESource::kListen;
  if (listens) *listens = std::move(all);
  return "";
}

CAudioscrobblerRoom::CAudioscrobblerRoom(CAccountReports& reports, CWrongAttempts& attempts,
                                         CStore& store, const CClock& clock, std::string publicUrl)
    : m_reports(reports),
      m_attempts(attempts),
      m_store(store),
      m_clock(clock),
      m_publicUrl(std::move(publicUrl)) {}

std::vector<CRoute> CAudioscrobblerRoom::Routes() {
  CRoute handshake;
  handshake.database = CRoute::EDatabase::kAlways;
  handshake.late = [](const CHttpRequest&, std::string_view) {
    return TextResponse(503, "FAILED The database did not answer in time; try again later.\n");
  };
  handshake.bodyLimit = kScrobbleBodyBytes;
  handshake.tooLarge = [](size_t limit) {
    return TextResponse(413,
                        "FAILED The body is longer than " + std::to_string(limit) + " bytes.\n");
  };
  handshake.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    HandleHandshake(request, std::move(reply));
  };
  std::vector<CRoute> routes;
  for (const char* path : {"/audioscrobbler/", "/audioscrobbler"}) {
    routes.push_back(handshake);
    routes.back().prefix = path;
  }
  // Only paths under "/audioscrobbler/" take the larger body.
  routes.back().bodyLimit = kMaxBodyBytes;
  routes.back().tooLarge = nullptr;
  for (const bool nowPlaying : {true, false}) {
    routes.push_back(handshake);
    routes.back().prefix = nowPlaying ? "/audioscrobbler/nowplaying" : "/audioscrobbler/submit";
    routes.back().handle = [this, nowPlaying](const CHttpRequest& request, std::string_view,
                                              CRoute::Reply reply) {
      HandlePost(request, nowPlaying, std::move(reply));
    };
  }
  return routes;
}

void CAudioscrobblerRoom::HandleHandshake(const CHttpRequest& request, CRoute::Reply reply) {
  const auto fields = DecodeScrobbleFields(request.method == "POST" && !request.body.empty()
                                               ? std::string_view(request.body)
                                               : QueryOf(request.target));
  if (Field(fields, "hs") != "true") {
    return reply(Answer(
        "FAILED This is the Audioscrobbler 1.2 handshake address of a Velk signature service; "
        "set it as your scrobbler's URL, with the player token as the password.\n"));
  }
  if (Field(fields, "p").substr(0, 3) != "1.2") {
    return reply(Answer("FAILED Only protocol 1.2 is served here.\n"));
  }
  const std::string user = Field(fields, "u");
  const std::string timestamp = Field(fields, "t");
  const std::optional<int64_t> at = Number(timestamp);
  if (!at || std::abs(*at - m_clock.WallSeconds()) > kMaxClockSkewSeconds) {
    return reply(Answer("BADTIME\n"));
  }
  // The token's verifier is read from the store itself: a token made by the command line, or by
  // another instance, counts at once.
  std::optional<CAccountRecord> account;
  int64_t waitMs = 0;
  try {
    account = FindUnlessLimited(request, user, &waitMs);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return reply(Answer("FAILED The service cannot reach its database; try again later.\n", 503));
  }
  if (waitMs > 0) {
    return reply(Answer("FAILED Too many failed handshakes lately; try again in " +
                        std::to_string((waitMs + 999) / 1000) + " s.\n"));
  }
  if (!account || !HandshakeMatches(account->tokenMd5, timestamp, Field(fields, "a"))) {
    CountWrong(request);
    return reply(Answer("BADAUTH\n"));
  }
  const std::string base = PublicUrl(request, m_publicUrl) + "/audioscrobbler/";
  reply(Answer("OK\n" + MakeScrobbleSession(NameKey(account->name), account->tokenMd5) + "\n" +
               base + "nowplaying\n" + base + "submit\n"));
}

std::optional<CAccountRecord> CAudioscrobblerRoom::FindUnlessLimited(const CHttpRequest& request,
                                                                     const std::string& user,
                                                                     int64_t* waitMs) {
  *waitMs = m_attempts.WaitMs(request.clientAddress);
  if (*waitMs > 0 || !IsValidUserName(user)) return std::nullopt;
  return m_store.FindAccount(user);
}

void CAudioscrobblerRoom::CountWrong(const CHttpRequest& request) {
  try {
    m_attempts.Count(request.clientAddress);
  } catch (const CStoreError& error) {
    LogRepeated("wrong handshake or session not counted", error.what());
  }
}

void CAudioscrobblerRoom::HandlePost(const CHttpRequest& request, bool nowPlaying,
                                     CRoute::Reply reply) {
  if (request.method != "POST") {
    CHttpResponse response = Answer("FAILED Use POST.\n", 405);
    response.fields.emplace_back("Allow", "POST");
    return reply(std::move(response));
  }
  const auto fields = DecodeScrobbleFields(request.body);
  const std::string session = Field(fields, "s");
  const std::string user = ScrobbleSessionAccount(session);
  int64_t waitMs = 0;
  std::optional<CAccountRecord> account;
  try {
    account = FindUnlessLimited(request, user, &waitMs);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return reply(Answer("FAILED The service cannot reach its database; try again later.\n", 503));
  }
  if (waitMs > 0) {
    return reply(Answer("FAILED Too many bad sessions lately; try again in " +
                        std::to_string((waitMs + 999) / 1000) + " s.\n"));
  }
  if (!account || !ScrobbleSessionMatches(session, NameKey(account->name), account->tokenMd5)) {
    CountWrong(request);
    return reply(Answer("BADSESSION\n"));
  }

  CKeptReport report;
  std::vector<CListen> listens;  // what a submission adds to the account's history
  const std::string problem = ParseScrobbleReport(fields, nowPlaying, &report, &listens);
  if (!problem.empty()) return reply(Answer("FAILED " + problem + "\n"));
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  ApplyPlayerReport(
      m_reports, account->name, std::move(report),
      [shared](CAccountReports::EApply applied, const std::string&) {
        switch (applied) {
          case CAccountReports::EApply::kStored:
          case CAccountReports::EApply::kKept:
            return (*shared)(Answer("OK\n"));
          case CAccountReports::EApply::kNoAccount:
            return (*shared)(Answer("BADSESSION\n"));
          case CAccountReports::EApply::kFailed:
            break;
        }
        (*shared)(Answer("FAILED The service cannot store reports now.\n", 503));
      },
      std::move(listens));
}
