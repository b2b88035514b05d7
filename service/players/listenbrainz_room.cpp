// The ListenBrainz endpoints for other players: POST /1/submit-listens, GET /1/validate-token.
#include "players/listenbrainz_room.h"

#include <boost/json.hpp>
#include <cctype>

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

constexpr size_t kListensBodyBytes = 2u << 20;  // an import of 1,000 listens with their details
constexpr size_t kMaxListens = 1000;            // in one import
constexpr size_t kMaxListenBytes = 10240;       // one listen, as JSON

CHttpResponse TooManyWrongTokens(size_t limit, int64_t retryMs) {
  const int64_t seconds = (retryMs + 999) / 1000;
  CHttpResponse response =
      JsonError(429, "Too many wrong tokens from your address lately; try again in " +
                         std::to_string(seconds) + " s.");
  response.fields.emplace_back("X-RateLimit-Limit", std::to_string(limit));
  response.fields.emplace_back("X-RateLimit-Remaining", "0");
  response.fields.emplace_back("X-RateLimit-Reset-In", std::to_string(seconds));
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

std::string ParseListenSubmission(std::string_view body, CKeptReport* newest) {
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
  const json::array& listens = payload->get_array();
  if (listenType != "import" && listens.size() != 1) {
    return "JSON document must contain exactly one listen in the payload for " + listenType + ".";
  }
  if (listens.empty()) return "The payload holds no listens.";
  if (listens.size() > kMaxListens) {
    return "Too many listens: at most " + std::to_string(kMaxListens) + " in one submission.";
  }
  for (size_t i = 0; i < listens.size(); ++i) {
    CKeptReport listen;
    const std::string error = ParseListen(listens[i], listenType, i, &listen);
    if (!error.empty()) return error;
    if (i == 0 || listen.startedAt > newest->startedAt) *newest = std::move(listen);
  }
  newest->source = listenType == "playing_now" ? CKeptReport::ESource::kNowPlaying
                                               : CKeptReport::ESource::kListen;
  return "";
}

CListenBrainzRoom::CListenBrainzRoom(CAccounts& accounts, CStore& store,
                                     size_t wrongTokensPerMinute)
    : m_accounts(accounts), m_store(store), m_wrongTokensPerMinute(wrongTokensPerMinute) {}

std::vector<CRoute> CListenBrainzRoom::Routes() {
  const CRoute::Fallback late = [](const CHttpRequest&, std::string_view) {
    return JsonError(503,
                     "The database did not answer in time; the listens may not have been stored. "
                     "Send them again later.");
  };
  const auto tooLarge = [](size_t limit) {
    return JsonError(400, "The request body is longer than " + std::to_string(limit) + " bytes.");
  };
  CRoute submit;
  submit.prefix = "/1/submit-listens";
  submit.database = CRoute::EDatabase::kAlways;
  submit.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    HandleSubmitListens(request, std::move(reply));
  };
  submit.late = late;
  submit.bodyLimit = kListensBodyBytes;
  submit.tooLarge = tooLarge;
  CRoute validate = submit;
  validate.prefix = "/1/validate-token";
  validate.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
    HandleValidateToken(request, std::move(reply));
  };
  validate.bodyLimit = kMaxBodyBytes;
  return {std::move(submit), std::move(validate)};
}

CListenBrainzRoom::ETokenCheck CListenBrainzRoom::FindTokenAccount(const CHttpRequest& request,
                                                                   std::string_view token,
                                                                   std::string* name,
                                                                   int64_t* retryMs) {
  std::optional<std::string> found;
  try {
    *retryMs = m_accounts.WrongAttemptsWaitMs(request.clientAddress);
    if (*retryMs > 0) return ETokenCheck::kLimited;
    found = m_store.FindNameByToken(PlayerTokenHash(token));
    if (!found) {
      m_accounts.CountWrongAttempt(request.clientAddress);
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
      return reply(TooManyWrongTokens(m_wrongTokensPerMinute, retryMs));
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
      return reply(TooManyWrongTokens(m_wrongTokensPerMinute, retryMs));
    case ETokenCheck::kFailed:
      return reply(JsonError(503, "The service cannot reach its database; try again later."));
    case ETokenCheck::kWrong:
      return reply(JsonError(401, "Invalid authorization token."));
    case ETokenCheck::kValid:
      break;
  }
  CKeptReport listen;
  const std::string error = ParseListenSubmission(request.body, &listen);
  if (!error.empty()) return reply(JsonError(400, error));
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  ApplyPlayerReport(
      m_accounts, name, std::move(listen), [shared](CAccounts::EApply applied, const std::string&) {
        switch (applied) {
          case CAccounts::EApply::kStored:
          case CAccounts::EApply::kKept:
            return (*shared)(JsonResponse(200, {{"status", "ok"}}));
          case CAccounts::EApply::kNoAccount:
            return (*shared)(JsonError(401, "Invalid authorization token."));
          case CAccounts::EApply::kFailed:
            break;
        }
        (*shared)(JsonError(503, "The service cannot store listens now; nothing was stored."));
      });
}
