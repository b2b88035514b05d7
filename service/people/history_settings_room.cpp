// The account page's listening history: keeping it on or off, deleting it, downloading it.
#include "people/history_settings_room.h"

#include <memory>

#include "base/log.h"
#include "http/json.h"

CHistorySettingsRoom::CHistorySettingsRoom(CPeoplePages& pages, CAccountChanges& changes,
                                           CStore& store)
    : m_pages(pages), m_changes(changes), m_store(store) {}

std::vector<CRoute> CHistorySettingsRoom::Routes() {
  return {PageRoute("/account/history", this, &CHistorySettingsRoom::HandleKeep),
          PageRoute("/account/history/delete", this, &CHistorySettingsRoom::HandleDelete),
          PageRoute("/account/history/download", this, &CHistorySettingsRoom::HandleDownload)};
}

CAccountChanges::ChangeDone CHistorySettingsRoom::Answer(const CHttpRequest& request,
                                                         const CAccountSession& session,
                                                         const char* done, const char* failed,
                                                         CRoute::Reply reply) {
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  return [this, request, session, done, failed, shared](bool stored, const std::string& error) {
    if (!stored) {
      LogRepeated("account change not stored", error);
      return m_pages.ShowAccount(request, session, 503, failed, "", "", std::move(*shared));
    }
    (*shared)(m_pages.RedirectWithFlash(request, {session.id, done, "", "", "", "", ""}));
  };
}

void CHistorySettingsRoom::HandleKeep(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  const bool keep = !FormValue(SplitForm(request.body), "keep").empty();
  m_changes.SetKeepHistory(
      session->nameKey, keep,
      Answer(request, *session,
             keep ? "Your listening history is kept from now on."
                  : "Nothing new is kept in your listening history from now on; what is kept "
                    "stays until you delete it.",
             "The service could not save that; please try again later.", std::move(reply)));
}

void CHistorySettingsRoom::HandleDelete(const CHttpRequest& request, CRoute::Reply reply) {
  const std::optional<CAccountSession> session = m_pages.FormSession(request, reply);
  if (!session) return;
  m_changes.ClearHistory(
      session->nameKey,
      Answer(request, *session, "Your listening history is deleted, its charts too.",
             "The history was not deleted; please try again later.", std::move(reply)));
}

void CHistorySettingsRoom::HandleDownload(const CHttpRequest& request, CRoute::Reply reply) {
  if (request.method != "GET" && request.method != "HEAD") {
    CHttpResponse response = TextResponse(405, "Allowed: GET, HEAD\n");
    response.fields.emplace_back("Allow", "GET, HEAD");
    return reply(std::move(response));
  }
  std::vector<CListen> listens;
  std::optional<CAccountSession> session;
  try {
    session = m_pages.SessionOf(request);
    if (!session) return m_pages.ShowSignIn(request, 200, "", "", std::move(reply));
    listens = m_store.History().RecentListens(session->nameKey, m_store.HistoryLimit());
  } catch (const CStoreError& error) {
    LogRepeated("history look-up failed", error.what());
    return reply(NoDatabasePage());
  }
  CHttpResponse response = TextResponse(200, ListenBrainzListensJson(listens));
  for (auto& [field, value] : response.fields) {
    if (field == "Content-Type") value = "application/json";
  }
  response.fields.emplace_back("Content-Disposition",
                               "attachment; filename=\"" + session->nameKey + "-listens.json\"");
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}

std::string ListenBrainzListensJson(const std::vector<CListen>& listens) {
  std::string json = "[";
  for (size_t i = 0; i < listens.size(); ++i) {
    const CListen& listen = listens[i];
    json += i ? ",\n" : "\n";
    json += "{\"listened_at\":" + std::to_string(listen.at) + ",\"track_metadata\":{";
    json += "\"artist_name\":" + JsonString(listen.artist);
    json += ",\"track_name\":" + JsonString(listen.title);
    if (!listen.album.empty()) json += ",\"release_name\":" + JsonString(listen.album);
    json += ",\"additional_info\":{\"submission_client\":" +
            JsonString(ListenSourceName(listen.source)) + "}}}";
  }
  return json + "\n]\n";
}
