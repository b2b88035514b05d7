// Fuzz target for Audioscrobbler 1.2: handshakes, sessions, now-playing notices and submissions.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "service/accounts/player_token.h"
#include "service/players/player_submissions.h"
#include "service/render/code_page.h"
#include "service/render/style.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool Clean(const std::string& text) { return CleanUtf8(text) == text && TrimBlanks(text) == text; }

std::string Field(const std::map<std::string, std::string>& fields, const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

// What a parsed notice or submission must hold, whatever the fields were.
void CheckReport(const std::string& problem, const CKeptReport& report, bool nowPlaying) {
  if (!problem.empty()) return;
  FUZZ_CHECK(!report.artist.empty() && !report.title.empty());
  FUZZ_CHECK(Clean(report.artist) && Clean(report.title) && Clean(report.album));
  FUZZ_CHECK(report.durationS >= 0);
  FUZZ_CHECK(nowPlaying ? report.source == CKeptReport::ESource::kNowPlaying
                        : report.source == CKeptReport::ESource::kListen && report.startedAt > 0);
}

}  // namespace

// Input: a handshake query, or a notice's or submission's form body (the same fields decode
// both). Besides the checks above: a handshake's auth matches the token only when it is
// md5(token MD5 + t), and a session names and matches only the account it was made for.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::map<std::string, std::string> fields = DecodeScrobbleFields(input);
  for (const bool nowPlaying : {true, false}) {
    CKeptReport report;
    CheckReport(ParseScrobbleReport(fields, nowPlaying, &report), report, nowPlaying);
  }

  const std::string tokenMd5 = Md5Hex("fuzz token");
  const std::string timestamp = Field(fields, "t");
  const std::string auth = Field(fields, "a");
  std::string lower = auth;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(HandshakeMatches(tokenMd5, timestamp, auth) ==
             (lower == Md5Hex(tokenMd5 + timestamp)));
  FUZZ_CHECK(HandshakeMatches(tokenMd5, timestamp, Md5Hex(tokenMd5 + timestamp)));
  FUZZ_CHECK(!HandshakeMatches("", timestamp, auth));

  const std::string claimed = Field(fields, "s");
  FUZZ_CHECK(!ScrobbleSessionMatches(claimed, ScrobbleSessionAccount(claimed), tokenMd5));
  const std::string name = Field(fields, "u");
  const std::string session = MakeScrobbleSession(name, tokenMd5);
  FUZZ_CHECK(ScrobbleSessionAccount(session) == name || name.empty());
  FUZZ_CHECK(ScrobbleSessionMatches(session, name, tokenMd5));
  FUZZ_CHECK(!ScrobbleSessionMatches(session, name + "x", tokenMd5));
  FUZZ_CHECK(!ScrobbleSessionMatches(session, name, Md5Hex("another token")));
  return 0;
}
