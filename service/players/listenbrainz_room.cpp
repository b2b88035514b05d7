// The ListenBrainz endpoints for other players: POST /1/submit-listens, GET /1/validate-token.
#include "players/listenbrainz_room.h"

#include <boost/json.hpp>
#include <cctype>
#include <memory>

#include "accounts/player_token.h"
#include "base/log.h"
#include "http/form_decode.h"
#include "http/json.h"
#include "players/player_reports.h"
#include "players/player_submissions.h"
#include "render/code_page.h"
#include "render/style.h"

namespace json = boost::json;

namespace {

// The documented bounds: a payload of at most 10,240,000 bytes, 1,000 listens of at most 10,240
// bytes each.
constexpr size_t kListensBodyBytes = 10240000;
constexpr size_t kMaxListens = 1000;       // in one import
constexpr size_t kMaxListenBytes = 10240;  // one listen, as JSON
constexpr int64_t kWindowMs = 60 * 1000;   // the request window of a client address

int64_t CeilSeconds(int64_t ms) { return (ms + 999) / 1000; }

// Sets the rate-limit fields of `response`: `remaining` requests until the window ends in
// `resetInMs` (Reset-In in seconds from now, Reset in Unix seconds), unless it has them already.
void SetRateFields(CHttpResponse& response, size_t limit, size_t remaining, int64_t resetInMs,
                   const CClock& clock) {
  for (const auto& field : response.fields) {
    if (field.first == "X-RateLimit-Limit") return;
  }
  response.fields.emplace_back("X-RateLimit-Limit", std::to_string(limit));
  response.fields.emplace_back("X-RateLimit-Remaining", std::to_string(remaining));
  response.fields.emplace_back("X-RateLimit-Reset-In", std::to_string(CeilSeconds(resetInMs)));
  response.fields.emplace_back("X-RateLimit-Reset",
                               std::to_string(CeilSeconds(clock.WallMs() + resetInMs)));
}

// A 429 whose wait is `waitMs`: Remaining 0, and Reset-In, Reset and Retry-After when to return.
CHttpResponse TooMany(const std::string& why, size_t limit, int64_t waitMs, const CClock& clock) {
  const int64_t seconds = CeilSeconds(waitMs);
  CHttpResponse response =
      JsonError(429, why + "; try again in " + std::to_string(seconds) + " s.");
  SetRateFields(response, limit, 0, waitMs, clock);
  response.fields.emplace_back("Retry-After", std::to_string(seconds));
  return response;
}

// The token of "Authorization: Token <token>" (the scheme in any letter case), else empty.
std::string HeaderToken(std::string_view field) {
  constexpr std::string_view kScheme = "token ";
  if (field.size() <= kScheme.size()) return "";
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(field[i])) != kScheme[i]) return "";
  }
  return TrimBlanks(field.substr(kScheme.size()));
}

// A text member of `object` trimmed of blanks; empty when absent, null or not a text.
std::string TextMember(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  if (!value || !value->is_string()) return "";
  const json::string& text = value->get_string();
  return TrimBlanks(CleanUtf8(std::string_view(text.data(), text.size())));
}

// A whole number held by `value` (JSON integers, and floats without a fraction), or nothing.
std::optional<int64_t> WholeNumber(const json::value& value) {
  if (value.is_int64()) return value.get_int64();
  if (value.is_uint64() && value.get_uint64() <= INT64_MAX)
    return static_cast<int64_t>(value.get_uint64());
  if (value.is_double()) {
    const double d = value.get_double();
    if (d >= 0 && d < 9e15 && d == static_cast<double>(static_cast<int64_t>(d)))
      return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

// Checks one listen of a submission of `listenType`; fills `*out`, or returns why it is refused.
std::string ParseListen(const json::value& value, std::string_view listenType, size_t index,
                        CKeptReport* out) {
  const std::string where = "Listen " + std::to_string(index) + ": ";
  if (!value.is_object()) return where + "a listen must be a JSON object.";
  if (json::serialize(value).size() > kMaxListenBytes) {
    return where + "a listen may take at most " + std::to_string(kMaxListenBytes) + " bytes.";
  }
  const json::object& listen = value.get_object();
  const json::value* listenedAt = listen.if_contains("listened_at");
  if (listenType == "playing_now") {
    if (listenedAt) return where + "playing_now listens must not have a listened_at timestamp.";
  } else {
    if (!listenedAt) return where + "JSON document must contain the key listened_at.";
    const std::optional<int64_t> at = WholeNumber(*listenedAt);
    if (!at || *at <= 0) return where + "listened_at must be a positive integer (Unix seconds).";
    if (*at < kEarliestListenAt) {
      return where + "listened_at must be " + std::to_string(kEarliestListenAt) +
             " (2002-10-01) or later.";
    }
    out->startedAt = *at;
  }
  const json::value* metadata = listen.if_contains("track_metadata");
  if (!metadata || !metadata->is_object()) {
    return where + "JSON document must contain the key track_metadata as an object.";
  }
  const json::object& track = metadata->get_object();
  out->artist = TextMember(track, "artist_name");
  out->title = TextMember(track, "track_name");
  out->album = TextMember(track, "release_name");
  if (out->artist.empty()) return where + "artist_name must be a non-empty text.";
  if (out->title.empty()) return where + "track_name must be a non-empty text.";
  if (const json::value* info = track.if_contains("additional_info")) {
    if (!info->is_object() && !info->is_null()) {
      return where + "additional_info must be a JSON object.";
    }
    if (info->is_object()) {
      const json::object& extra = info->get_object();
      const json::value* ms = extra.if_contains("duration_ms");
      const json::value* seconds = extra.if_contains("duration");
      if (ms && seconds) return where + "give duration_ms or duration, not both.";
      if (ms || seconds) {
        const std::optional<int64_t> length = WholeNumber(ms ? *ms : *seconds);
        if (!length || *length < 0) {
          return where + (ms ? "duration_ms" : "duration") + " must be a positive integer.";
        }
        out->durationS = ms ? (*length + 999) / 1000 : *length;
      }
    }
  }
  return "";
}

}  // namespace

std::string ParseListenSubmission(std::string_view body, CKeptReport* newest,
                                  std::vector<CListen>* listens) {
  boost::system::error_code ec;
  const json::value document = json::parse(body, ec);
  if (ec) return "Cannot parse JSON document: " + ec.message() + ".";
  if (!document.is_object()) return "The JSON document must be an object.";
  const json::object& root = document.get_object();
  const std::string listenType = TextMember(root, "listen_type");
  if (listenType != "playing_now" && listenType != "single" && listenType != "import") {
    return "JSON document must contain the key listen_type: playing_now, single or import.";
  }
  const json::value* payload = root.if_contains("payload");
  if (!payload || !payload->is_array()) return "JSON document must contain the key payload.";
  const json::array& items = payload->get_array();
  if (listenType != "import" && items.size() != 1) {
    return "JSON document must contain exactly one listen in the payload for " + listenType + ".";
  }
  if (items.empty()) return "The payload holds no listens.";
  if (items.size() > kMaxListens) {
    return "Too many listens: at most " + std::to_string(kMaxListens) + " in one submission.";
  }
  const bool keepAll = listens && listenType != "playing_now";
  std::vector<CListen> all;
  if (keepAll) all.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    CKeptReport listen;
    const std::string error = ParseListen(items[i], listenType, i, &listen);
    if (!error.empty()) return error;
    if (keepAll) {
      all.push_back({listen.startedAt, listen.artist, listen.title, listen.album,
                     CListen::ESource::kListenBrainz});
    }
    if (i == 0 || listen.startedAt > newest->startedAt) *newest = std::move(listen);
  }
  if (listens) *listens = std::move(all);
  newest->source = listenType == "playing_now" ? CKeptReport::ESource::kNowPlaying
                                               : CKeptReport::ESource::kListen;
  return "";
}

CListenBrainzRoom::CListenBrainzRoom(CAccountReports& reports, CWrongAttempts& attempts,
                                     CStore& store, const CClock& clock, size_t requestsPerMinute)
    : m_reports(reports),
      m_attempts(attempts),
      m_store(store),
      m_clock(clock),
      m_window(std::make_shared<CRequestWindow>(clock, requestsPerMinute, kWindowMs)) {}

std::vector<CRoute> CListenBrainzRoom::Routes() {
  const CRoute::Fallback late = [this](const CHttpRequest& request, std::string_view) {
    CHttpResponse response =
        JsonError(503,
                  "The database did not answer in time; the listens may not have been stored. "
                  "Send them again later.");
    Stamp(response, m_window->Peek(request.clientAddress));
    return response;
  };
  // Refused from the request's head, before the client's address is known here: the window's
  // end holds for every address, what the client has left is not told (0).
  const auto tooLarge = [this](size_t limit) {
    CHttpResponse response =
        JsonError(400, "The request body is longer than " + std::to_string(limit) + " bytes.");
    Stamp(response, m_window->Unknown());
    return response;
  };
  CRoute submit;
  submit.prefix = "/1/submit-listens";
  submit.database = CRoute::EDatabase::kAlways;
  submit.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    if (Admit(request, reply)) HandleSubmitListens(request, std::move(reply));
  };
  submit.late = late;
  submit.bodyLimit = kListensBodyBytes;
  submit.tooLarge = tooLarge;
  CRoute validate = submit;
  validate.prefix = "/1/validate-token";
  validate.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    if (Admit(request, reply)) HandleValidateToken(request, std::move(reply));
  };
  validate.bodyLimit = kMaxBodyBytes;
  return {std::move(submit), std::move(validate)};
}

void CListenBrainzRoom::Stamp(CHttpResponse& response, const CRequestWindow::CState& state) const {
  SetRateFields(response, state.limit, state.remaining, state.resetInMs, m_clock);
}

bool CListenBrainzRoom::Admit(const CHttpRequest& request, CRoute::Reply& reply) {
  const CRequestWindow::CState state = m_window->Take(request.clientAddress);
  if (!state.allowed) {
    reply(TooMany(
        "Too many requests from your address: at most " + std::to_string(state.limit) + " a minute",
        state.limit, state.resetInMs, m_clock));
    return false;
  }
  // The answer may come from another thread, after the room is gone: it holds what it uses.
  reply = [window = m_window, &clock = m_clock, address = request.clientAddress,
           inner = std::move(reply)](CHttpResponse response) {
    const CRequestWindow::CState now = window->Peek(address);
    SetRateFields(response, now.limit, now.remaining, now.resetInMs, clock);
    inner(std::move(response));
  };
  return true;
}

CHttpResponse CListenBrainzRoom::TooManyWrongTokens(int64_t retryMs) const {
  return TooMany("Too many wrong tokens from your address lately", m_window->Unknown().limit,
                 retryMs, m_clock);
}

CListenBrainzRoom::ETokenCheck CListenBrainzRoom::FindTokenAccount(const CHttpRequest& request,
                                                                   std::string_view token,
                                                                   std::string* name,
                                                                   int64_t* retryMs) {
  std::optional<std::string> found;
  try {
    *retryMs = m_attempts.WaitMs(request.clientAddress);
    if (*retryMs > 0) return ETokenCheck::kLimited;
    found = m_store.FindNameByToken(PlayerTokenHash(token));
    if (!found) {
      m_attempts.Count(request.clientAddress);
      return ETokenCheck::kWrong;
    }
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return ETokenCheck::kFailed;
  }
  *name = std::move(*found);
  return ETokenCheck::kValid;
}

void CListenBrainzRoom::HandleValidateToken(const CHttpRequest& request, CRoute::Reply reply) {
  if (request.method != "GET") {
    CHttpResponse response = JsonError(405, "Allowed: GET.");
    response.fields.emplace_back("Allow", "GET");
    return reply(std::move(response));
  }
  std::string token = HeaderToken(request.authorization);
  if (token.empty()) {
    // Older clients send the token in the query.
    const std::string_view target = request.target;
    const size_t question = target.find('?');
    if (question != std::string_view::npos) {
      FindFormValue(SplitForm(target.substr(question + 1)), "token", &token);
    }
  }
  if (token.empty()) return reply(JsonError(400, "You need to provide an Authorization token."));
  std::string name;
  int64_t retryMs = 0;
  switch (FindTokenAccount(request, token, &name, &retryMs)) {
    case ETokenCheck::kLimited:
      return reply(TooManyWrongTokens(retryMs));
    case ETokenCheck::kFailed:
      return reply(JsonError(503, "The service cannot reach its database; try again later."));
    case ETokenCheck::kWrong:
      return reply(
          JsonResponse(200, {{"code", 200}, {"message", "Token invalid."}, {"valid", false}}));
    case ETokenCheck::kValid:
      break;
  }
  reply(JsonResponse(
      200, {{"code", 200}, {"message", "Token valid."}, {"valid", true}, {"user_name", name}}));
}

void CListenBrainzRoom::HandleSubmitListens(const CHttpRequest& request, CRoute::Reply reply) {
  if (request.method != "POST") {
    CHttpResponse response = JsonError(405, "Listens are submitted with POST.");
    response.fields.emplace_back("Allow", "POST");
    return reply(std::move(response));
  }
  const std::string token = HeaderToken(request.authorization);
  if (token.empty()) {
    return reply(JsonError(401, "You need to provide an Authorization header: Token <token>."));
  }
  std::string name;
  int64_t retryMs = 0;
  switch (FindTokenAccount(request, token, &name, &retryMs)) {
    case ETokenCheck::kLimited:
      return reply(TooManyWrongTokens(retryMs));
    case ETokenCheck::kFailed:
      return reply(JsonError(503, "The service cannot reach its database; try again later."));
    case ETokenCheck::kWrong:
      return reply(JsonError(401, "Invalid authorization token."));
    case ETokenCheck::kValid:
      break;
  }
  CKeptReport listen;
  std::vector<CListen> listens;  // what the submission adds to the account's history
  const std::string error = ParseListenSubmission(request.body, &listen, &listens);
  if (!error.empty()) return reply(JsonError(400, error));
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  ApplyPlayerReport(
      m_reports, name, std::move(listen),
      [shared](CAccountReports::EApply applied, const std::string&) {
        switch (applied) {
          case CAccountReports::EApply::kStored:
          case CAccountReports::EApply::kKept:
            return (*shared)(JsonResponse(200, {{"status", "ok"}}));
          case CAccountReports::EApply::kNoAccount:
            return (*shared)(JsonError(401, "Invalid authorization token."));
          case CAccountReports::EApply::kFailed:
            break;
        }
        (*shared)(JsonError(503, "The service cannot store listens now; nothing was stored."));
      },
      std::move(listens));
}
