// Reports from the plug-in: GET /signature/generate/?user=...&key=... or POST with that form body.
#include <cstdio>
#include <memory>

#include "app/service.h"

namespace {

CHttpResponse StoreFailed(const CStoreError& error) {
  std::fprintf(stderr, "velk-service: report not stored: %s\n", error.what());
  return TextResponse(503, "The service cannot reach its database; the report was not stored.\n");
}

}  // namespace

void CSignatureService::HandleReport(const CHttpRequest& request, std::string_view, Reply reply) {
  std::string_view form;
  const std::string_view target = request.target;
  const size_t question = target.find('?');
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  if (request.method == "GET") {
    form = query;
  } else if (request.method == "POST") {
    form = request.body.empty() ? query : std::string_view(request.body);
  } else {
    CHttpResponse response = TextResponse(405, "Reports are sent with GET or POST.\n");
    response.fields.emplace_back("Allow", "GET, POST");
    return reply(std::move(response));
  }

  CReportParse parsed = ParseReport(form);
  if (parsed.error != EReportError::kNone) return reply(TextResponse(400, parsed.message + "\n"));
  auto report = std::make_shared<const CReport>(std::move(parsed.report));
  const CKeyDigest digest = DigestKey(report->key);
  std::string keyHash;
  CAccounts::EKeyCheck check;
  try {
    check = m_accounts.CheckKey(report->user, digest, &keyHash);
    if (check == CAccounts::EKeyCheck::kUnknown && !IsWellFormedKey(report->key)) {
      m_accounts.RememberKeyCheck(report->user, digest, false);
      check = CAccounts::EKeyCheck::kWrong;
    }
  } catch (const CStoreError& error) {
    return reply(StoreFailed(error));
  }
  switch (check) {
    case CAccounts::EKeyCheck::kNoAccount:
      return reply(TextResponse(403, "There is no account of this name.\n"));
    case CAccounts::EKeyCheck::kWrong:
      return reply(TextResponse(403, "Wrong key for this account.\n"));
    case CAccounts::EKeyCheck::kMatches:
      return FinishReport(*report, reply);
    case CAccounts::EKeyCheck::kUnknown:
      break;
  }
  auto shared = std::make_shared<Reply>(std::move(reply));
  const bool queued = m_verifier.Submit(
      std::move(keyHash), report->key, [this, report, digest, shared](bool matches) {
        try {
          m_accounts.RememberKeyCheck(report->user, digest, matches);
        } catch (const CStoreError& error) {
          return (*shared)(StoreFailed(error));
        }
        if (!matches) return (*shared)(TextResponse(403, "Wrong key for this account.\n"));
        FinishReport(*report, *shared);
      });
  if (!queued) {
    (*shared)(TextResponse(503, "Too many key checks under way; the report was dropped.\n"));
  }
}

void CSignatureService::FinishReport(const CReport& report, const Reply& reply) {
  CAccounts::EApply applied;
  try {
    applied = m_accounts.Apply(report.user, report);
  } catch (const CStoreError& error) {
    return reply(StoreFailed(error));
  }
  switch (applied) {
    case CAccounts::EApply::kStored:
      return reply(TextResponse(200, report.stopped ? "OK stopped\n" : "OK playing\n"));
    case CAccounts::EApply::kRateLimited:
      return reply(TextResponse(429, "Too many reports for this account; this one was dropped.\n"));
    case CAccounts::EApply::kNoAccount:
      break;
  }
  reply(TextResponse(403, "There is no account of this name.\n"));
}
