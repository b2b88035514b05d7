// Fuzz target for ListenBrainz listen documents (POST /1/submit-listens).
#include <boost/json.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/players/player_submissions.h"
#include "service/render/code_page.h"
#include "service/render/style.h"
#include "tests/fuzz/fuzz_check.h"

namespace json = boost::json;

namespace {

// A text as the stores keep it: clean UTF-8 without blanks at its ends.
bool Clean(const std::string& text) { return CleanUtf8(text) == text && TrimBlanks(text) == text; }

}  // namespace

// Input: a submission's body. It is refused with a reason, or it yields a listen with an artist
// and a title in clean text, a start time unless it plays now, and no negative length; that listen
// sent again alone as a single (or playing_now) document yields the same listen.
// The listens of a single or an import are clean, none newer, none before the earliest time.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  CKeptReport listen;
  std::vector<CListen> listens;
  const std::string error = ParseListenSubmission(body, &listen, &listens);
  if (!error.empty()) return 0;
  FUZZ_CHECK(!listen.artist.empty() && !listen.title.empty());
  FUZZ_CHECK(Clean(listen.artist) && Clean(listen.title) && Clean(listen.album));
  FUZZ_CHECK(listen.durationS >= 0);
  const bool now = listen.source == CKeptReport::ESource::kNowPlaying;
  FUZZ_CHECK(now ? listen.startedAt == 0 : listen.startedAt >= kEarliestListenAt);
  FUZZ_CHECK(now == listens.empty());
  for (const CListen& one : listens) {
    FUZZ_CHECK(!one.title.empty() && Clean(one.artist) && Clean(one.title) && Clean(one.album));
    FUZZ_CHECK(one.at >= kEarliestListenAt && one.at <= listen.startedAt);
  }

  json::object track{{"artist_name", listen.artist},
                     {"track_name", listen.title},
                     {"release_name", listen.album},
                     {"additional_info", {{"duration", listen.durationS}}}};
  json::object one{{"track_metadata", std::move(track)}};
  if (!now) one["listened_at"] = listen.startedAt;
  const json::object again{{"listen_type", now ? "playing_now" : "single"},
                           {"payload", json::array{std::move(one)}}};
  CKeptReport second;
  FUZZ_CHECK(ParseListenSubmission(json::serialize(again), &second).empty());
  FUZZ_CHECK(second.artist == listen.artist && second.title == listen.title &&
             second.album == listen.album && second.startedAt == listen.startedAt &&
             second.durationS == listen.durationS && second.source == listen.source);
  return 0;
}
