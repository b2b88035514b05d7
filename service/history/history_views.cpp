// What a history signature shows: the store's listens or chart rows as a view and as JSON.
#include "history/history_views.h"

#include "http/json.h"
#include "render/code_page.h"

namespace {

std::string Plays(int64_t plays) {
  return std::to_string(plays) + (plays == 1 ? " play" : " plays");
}

std::string Age(int64_t at, int64_t now) { return FormatAge(now > at ? now - at : 0); }

}  // namespace

CHistoryData ReadHistory(CStore& store, const CSignatureViews& views, const CAccountView& account,
                         const CHistoryRequest& request, int64_t now) {
  CHistoryData data;
  const std::string nameKey = NameKey(account.name);
  if (request.kind != CHistoryView::EKind::kRecent) {
    const EChart chart =
        request.kind == CHistoryView::EKind::kTopArtists ? EChart::kArtists : EChart::kTracks;
    data.chart = store.History().Chart(nameKey, chart, request.FromDay(now), 5);
    return data;
  }
  const CTrackState& state = account.state;
  data.playing = state.playback == CTrackState::EPlayback::kPlaying &&
                 !views.PlayingExpired(state, now) && !account.wrongKey;
  const size_t wanted = static_cast<size_t>(request.count) - (data.playing ? 1 : 0);
  // One more than shown: another player's listen of the track playing now is that track.
  data.listens = store.History().RecentListens(nameKey, wanted + 1);
  if (data.playing && !data.listens.empty() && data.listens.front().artist == state.artist &&
      data.listens.front().title == state.title && data.listens.front().at >= state.trackAt - 86400)
    data.listens.erase(data.listens.begin());
  if (data.listens.size() > wanted) data.listens.resize(wanted);
  return data;
}

std::string HistoryVariant(const CAccountView& account, const CHistoryRequest& request,
                           int64_t now) {
  std::string variant = std::to_string(account.version) + '|' +
                        std::to_string(account.historyVersion) + '|' +
                        StyleOf(account.settings).Fingerprint() + '|';
  if (request.kind == CHistoryView::EKind::kRecent) {
    variant += std::to_string(now / 60);
  } else if (request.days > 0) {
    variant += std::to_string(ListenDay(now));
  }
  return variant;
}

CHistoryView MakeHistoryView(const CAccountView& account, const CHistoryRequest& request,
                             const CHistoryData& data, int64_t now) {
  CHistoryView view;
  view.kind = request.kind;
  view.user = account.name;
  view.style = StyleOf(account.settings);
  if (const CCodePageInfo* page = FindCodePage(account.codePage)) view.language = page->language;
  if (request.kind != CHistoryView::EKind::kRecent) {
    view.period = request.PeriodText();
    for (const CChartRow& row : data.chart)
      view.rows.push_back({row.artist, row.title, Plays(row.plays), false, row.plays});
    return view;
  }
  if (data.playing)
    view.rows.push_back({account.state.artist, account.state.title, "now playing", true});
  for (const CListen& listen : data.listens)
    view.rows.push_back({listen.artist, listen.title, Age(listen.at, now), false});
  return view;
}

std::string HistoryJson(const CAccountView& account, const CHistoryRequest& request,
                        const CHistoryData& data, int64_t now) {
  std::string json = "{\"user\":" + JsonString(account.name);
  json += ",\"kind\":" + JsonString(CHistoryRequest::KindName(request.kind));
  json += ",\"keep_history\":" + std::string(account.keepHistory ? "true" : "false");
  if (request.kind != CHistoryView::EKind::kRecent) {
    json += ",\"period\":" + JsonString(request.period) + ",\"rows\":[";
    for (size_t i = 0; i < data.chart.size(); ++i) {
      const CChartRow& row = data.chart[i];
      json += (i ? ",{" : "{") + std::string("\"artist\":") + JsonString(row.artist);
      if (request.kind == CHistoryView::EKind::kTopTracks)
        json += ",\"title\":" + JsonString(row.title);
      json += ",\"plays\":" + std::to_string(row.plays) + "}";
    }
    return json + "]}\n";
  }
  json += ",\"count\":" + std::to_string(request.count) + ",\"playing\":";
  const CTrackState& state = account.state;
  json += data.playing ? "{\"artist\":" + JsonString(state.artist) +
                             ",\"title\":" + JsonString(state.title) +
                             ",\"album\":" + JsonString(state.album) + "}"
                       : std::string("null");
  json += ",\"listens\":[";
  for (size_t i = 0; i < data.listens.size(); ++i) {
    const CListen& listen = data.listens[i];
    json += (i ? ",{" : "{") + std::string("\"listened_at\":") + std::to_string(listen.at);
    json += ",\"artist\":" + JsonString(listen.artist) + ",\"title\":" + JsonString(listen.title);
    json += ",\"album\":" + JsonString(listen.album);
    json += ",\"source\":" + JsonString(ListenSourceName(listen.source));
    json += ",\"age\":" + JsonString(Age(listen.at, now)) + "}";
  }
  return json + "]}\n";
}
