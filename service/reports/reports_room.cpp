// Reports from the plug-in: GET /signature/generate/?user=...&key=... or POST with that form body.
#include "reports/reports_room.h"

#include <memory>

#include "base/log.h"
#include "base/metrics.h"

namespace {

const char kStoreFailed[] = "report not stored";
const char kKeptText[] =
    "Too many reports for this account; this one is kept and shown when its turn comes.\n";

CFamily<CCounter>& reports = Metrics().Counter(
    "velk_reports_total", "Reports answered: applied, kept for later, or refused", {"outcome"});
CCounter& applied = reports.With({"applied"});
CCounter& kept = reports.With({"kept"});
CCounter& refused = reports.With({"refused"});
CFamily<CCounter>& keyChecks =
    Metrics().Counter("velk_key_checks_total",
                      "Slow key checks, by result (refused: the queue was full)", {"result"});
CCounter& keyMatches = keyChecks.With({"match"});
CCounter& keyWrong = keyChecks.With({"wrong"});
CCounter& keyRefused = keyChecks.With({"refused"});
CGauge& keyCheckQueue =
    Metrics().Gauge("velk_key_check_queue", "Slow key checks waiting or under way").Get();

// `reply`, counting the report's outcome by its answer.
CRoute::Reply CountedReply(CRoute::Reply reply) {
  return [reply = std::move(reply)](CHttpResponse response) {
    if (response.status == 200) {
      applied.Add();
    } else if (response.status == 429 && response.body && *response.body == kKeptText) {
      kept.Add();
    } else {
      refused.Add();
    }
    reply(std::move(response));
  };
}

CHttpResponse StoreFailed(const std::string& error) {
  LogRepeated(kStoreFailed, error);
  return TextResponse(503, "The service cannot store reports now; the report was not stored.\n");
}

// A 429 answer with Retry-After, in whole seconds, for a wait of `ms` milliseconds.
CHttpResponse TooMany(const std::string& text, int64_t ms) {
  const int64_t seconds = (ms + 999) / 1000;
  CHttpResponse response =
      TextResponse(429, text + " Try again in " + std::to_string(seconds) + " s.\n");
  response.fields.emplace_back("Retry-After", std::to_string(seconds));
  return response;
}

// The report's form: the query of a GET, the body (or else the query) of a POST; false for
// another method.
bool ReportForm(const CHttpRequest& request, std::string_view* form) {
  const std::string_view target = request.target;
  const size_t question = target.find('?');
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  if (request.method == "GET") {
    *form = query;
  } else if (request.method == "POST") {
    *form = request.body.empty() ? query : std::string_view(request.body);
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool CReportsRoom::ReportFromMemory(const CHttpRequest& request, CRoute::Reply& reply,
                                    const CRoute::CDeadline& deadline) {
  std::string_view form;
  if (!ReportForm(request, &form)) return false;
  CReportParse parsed = ParseReport(form);
  if (parsed.error != EReportError::kNone) return false;
  if (!m_keys.KeyMatchesHeld(parsed.report.user, DigestKey(parsed.report.key))) return false;
  // The answer comes after the commit, or the route's fallback after the database deadline.
  if (!deadline.Bind(reply)) return false;
  // Counted as the report's handler counts its answers.
  FinishReport(parsed.report, CountedReply(std::move(reply)), true);
  return true;
}

std::vector<CRoute> CReportsRoom::Routes() {
  std::vector<CRoute> routes;
  for (const char* path : {"/signature/generate/", "/signature/generate"}) {
    CRoute route;
    route.prefix = path;
    route.database = CRoute::EDatabase::kAlways;
    route.handle = [this](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
      HandleReport(request, std::move(reply));
    };
    route.late = [](const CHttpRequest&, std::string_view) {
      return TextResponse(503,
                          "The database did not answer in time; the report may not have been "
                          "stored. Send it again later.\n");
    };
    route.fromMemory = [this](const CHttpRequest& request, std::string_view, CRoute::Reply& reply,
                              const CRoute::CDeadline& deadline) {
      return ReportFromMemory(request, reply, deadline);
    };
    routes.push_back(std::move(route));
  }
  return routes;
}

CReportsRoom::CReportsRoom(CKeyChecks& keys, CAccountReports& reports, CWorkPool& keyChecks)
    : m_keys(keys), m_reports(reports), m_keyChecks(keyChecks) {}

void CReportsRoom::HandleReport(const CHttpRequest& request, CRoute::Reply uncounted) {
  CRoute::Reply reply = CountedReply(std::move(uncounted));
  std::string_view form;
  if (!ReportForm(request, &form)) {
    CHttpResponse response = TextResponse(405, "Reports are sent with GET or POST.\n");
    response.fields.emplace_back("Allow", "GET, POST");
    return reply(std::move(response));
  }

  CReportParse parsed = ParseReport(form);
  if (parsed.error != EReportError::kNone) return reply(TextResponse(400, parsed.message + "\n"));
  CheckKeyThenApply(std::make_shared<const CReport>(std::move(parsed.report)),
                    request.clientAddress, std::move(reply));
}

void CReportsRoom::CheckKeyThenApply(std::shared_ptr<const CReport> report,
                                     const std::string& address, CRoute::Reply reply) {
  constexpr auto kPlayer = CKeyChecks::EKeyFrom::kPlayer;
  const CKeyDigest digest = DigestKey(report->key);
  std::string keyHash;
  CKeyChecks::EKeyCheck check;
  try {
    check = m_keys.CheckKey(report->user, digest, IsWellFormedKey(report->key), &keyHash, kPlayer,
                            address);
  } catch (const CStoreError& error) {
    return reply(StoreFailed(error.what()));
  }
  switch (check) {
    case CKeyChecks::EKeyCheck::kNoAccount:
      return reply(TextResponse(403, "There is no account of this name.\n"));
    case CKeyChecks::EKeyCheck::kWrong:
      return reply(TextResponse(403, "Wrong key for this account.\n"));
    case CKeyChecks::EKeyCheck::kMatches:
      return FinishReport(*report, std::move(reply), true);
    case CKeyChecks::EKeyCheck::kLimited:
      return reply(TooMany("Too many wrong keys from your address lately; the key was not checked.",
                           m_keys.KeyCheckRetryMs(address)));
    case CKeyChecks::EKeyCheck::kBusy:
      return reply(TooMany("A key of this account is being checked; the report was dropped.", 1));
    case CKeyChecks::EKeyCheck::kUnknown:
      break;
  }
  // One reply, owned by whichever of the job and this frame ends up answering.
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  keyCheckQueue.Add(1);
  const bool queued =
      m_keyChecks.Submit([this, report, address, digest, shared, keyHash = std::move(keyHash)] {
        bool matches = VerifyKey(keyHash, report->key);
        keyCheckQueue.Add(-1);
        (matches ? keyMatches : keyWrong).Add();
        try {
          matches = m_keys.RememberKeyCheck(report->user, digest, matches, true, kPlayer, address);
        } catch (const CStoreError& error) {
          return (*shared)(StoreFailed(error.what()));
        }
        if (!matches) return (*shared)(TextResponse(403, "Wrong key for this account.\n"));
        FinishReport(*report, std::move(*shared));
      });
  if (queued) return;
  keyCheckQueue.Add(-1);
  keyRefused.Add();
  try {
    m_keys.RememberKeyCheck(report->user, digest, false, false);
  } catch (const CStoreError&) {
    // The reservation lives in memory, which the look-up found before; nothing to give back.
  }
  (*shared)(TextResponse(503, "Too many key checks under way; the report was dropped.\n"));
}

void CReportsRoom::FinishReport(const CReport& report, CRoute::Reply reply, bool justChecked) {
  const bool stopped = report.stopped;
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  auto answer = [shared, stopped](CAccountReports::EApply applied, const std::string& error) {
    const CRoute::Reply& reply = *shared;
    switch (applied) {
      case CAccountReports::EApply::kStored:
        return reply(TextResponse(200, stopped ? "OK stopped\n" : "OK playing\n"));
      case CAccountReports::EApply::kKept:
        return reply(TextResponse(429, kKeptText));
      case CAccountReports::EApply::kFailed:
        return reply(StoreFailed(error));
      case CAccountReports::EApply::kNoAccount:
        break;
    }
    reply(TextResponse(403, "There is no account of this name.\n"));
  };
  try {
    m_reports.Apply(report.user, report, std::move(answer), justChecked);
  } catch (const CStoreError& error) {
    // Only the look-up throws, before anything is queued: `answer` has not run.
    (*shared)(StoreFailed(error.what()));
  }
}
