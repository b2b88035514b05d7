// What other players' endpoints share: body limits, applying reports, the page's player token.
#include <memory>

#include "accounts/player_token.h"
#include "app/service.h"
#include "base/log.h"

namespace {

constexpr size_t kListensBodyBytes = 2u << 20;     // an import of 1,000 listens with their details
constexpr size_t kScrobbleBodyBytes = 256u << 10;  // 50 entries of long, escaped tags

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

size_t CSignatureService::BodyLimit(std::string_view target) const {
  const std::string_view path = PathOf(target);
  if (path == "/1/submit-listens") return kListensBodyBytes;
  if (path.substr(0, 16) == "/audioscrobbler/") return kScrobbleBodyBytes;
  return kMaxBodyBytes;
}

CHttpResponse CSignatureService::BodyTooLarge(std::string_view target) const {
  const std::string_view path = PathOf(target);
  const std::string limit = std::to_string(BodyLimit(target));
  if (path.substr(0, 3) == "/1/") {
    return JsonError(400, "The request body is longer than " + limit + " bytes.");
  }
  if (path.substr(0, 16) == "/audioscrobbler/") {
    return TextResponse(413, "FAILED The body is longer than " + limit + " bytes.\n");
  }
  return CHttpHandler::BodyTooLarge(target);
}

void CSignatureService::ApplyPlayerReport(const std::string& name, CKeptReport report,
                                          CAccounts::ApplyDone done) {
  auto shared = std::make_shared<CAccounts::ApplyDone>(std::move(done));
  try {
    m_accounts.ApplyFromPlayer(name, std::move(report),
                               [shared](CAccounts::EApply applied, const std::string& error) {
                                 if (applied == CAccounts::EApply::kFailed)
                                   LogRepeated("report not stored", error);
                                 (*shared)(applied, error);
                               });
  } catch (const CStoreError& error) {
    // Only the look-up throws, before anything is queued.
    LogRepeated("report not stored", error.what());
    (*shared)(CAccounts::EApply::kFailed, error.what());
  }
}

void CSignatureService::HandleNewToken(const CHttpRequest& request, std::string_view, Reply reply) {
  const std::optional<CAccountSession> session = FormSession(request, reply);
  if (!session) return;
  const std::string token = GeneratePlayerToken();
  auto shared = std::make_shared<Reply>(std::move(reply));
  m_accounts.ReplacePlayerToken(
      session->nameKey, PlayerTokenHash(token), Md5Hex(token),
      [this, request, session, token, shared](bool stored, const std::string& error) {
        if (!stored) {
          LogRepeated("account change not stored", error);
          return ShowAccount(request, *session, 503,
                             "No new player token was made; the old one still works. Please try "
                             "again later.",
                             "", "", std::move(*shared));
        }
        (*shared)(RedirectWithFlash(request, {session->id,
                                              "The new player token is in use: players with the "
                                              "old one are refused from now on.",
                                              "", "", token, "", ""}));
      });
}

CHttpResponse CSignatureService::LateListenBrainz(const CHttpRequest&, std::string_view) {
  return JsonError(503,
                   "The database did not answer in time; the listens may not have been stored. "
                   "Send them again later.");
}

CHttpResponse CSignatureService::LateScrobbler(const CHttpRequest&, std::string_view) {
  return TextResponse(503, "FAILED The database did not answer in time; try again later.\n");
}
