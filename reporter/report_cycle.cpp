// The report cycle and the process-wide ReporterState it owns.
#include "reporter/report_cycle.h"

#include <cstring>
#include <string>
#include <string_view>

#include "delivery/send_report.h"
#include "delivery/service_url.h"
#include "framework/format.h"
#include "platform/platform.h"
#include "reporter/escape.h"
#include "reporter/reporter_state.h"
#include "reporter/track_info.h"
#include "settings/settings.h"

ReporterStateRecord ReporterState;

namespace {

// The track format up to its first tag value. The three "%s" in it take the base URL, the user
// name and the key; everything after it is tag values (escaped) and literal glue without "%".
constexpr std::string_view kTrackHead = "%s/?user=%s&key=%s&artist=";
static_assert(std::string_view(kTrackReportFormat).substr(0, kTrackHead.size()) == kTrackHead,
              "the track format starts with the account fields");
constexpr std::size_t kTrackHeadConversions = 3;

// The change key is the escaped artist, this separator and the escaped title, kept whole (not cut
// like a URL) so that long values still compare byte for byte.
constexpr std::string_view kKeySeparator = " - ";
static_assert(std::string_view(kChangeKeyFormat) == "%s - %s", "the change key joins with \" - \"");

// Texts reused by every run (window thread only), so that a run which finds no change allocates
// nothing once they have grown to the longest values seen.
struct CCycleScratch {
  std::string guessed;
  std::string artist;
  std::string title;
  std::string album;
  std::string year;
  std::string genre;
  std::string key;
};
CCycleScratch g_scratch;

// Escapes a tag answer into `out`; no value (nullptr) is empty text.
void EscapeTag(const char* value, std::string& out) {
  EscapeForUrl(value != nullptr ? std::string_view(value) : std::string_view(), out);
}

// A URL cut after kFormatLimit - 1 characters may end inside the escape of a tag value, with "%" or
// "%X" as its last characters; drops that partial escape so the URL stays well formed. Only a "%"
// at or after `escaped_from` starts an escape: the user name and key may hold a literal "%".
void DropPartialEscape(char* url, std::size_t escaped_from) {
  constexpr std::size_t kCutLength = kFormatLimit - 1;
  for (std::size_t at = kCutLength - 1; at >= kCutLength - 2 && at >= escaped_from; --at) {
    if (url[at] == '%') {
      url[at] = '\0';
      return;
    }
  }
}

void FormatTrackReport(char* url, const CCycleScratch& tags) {
  const char* user = Settings.User.c_str();
  const char* key = Settings.Key.c_str();
  const std::size_t length =
      FormatBounded(url, kTrackReportFormat, kServiceBaseUrl, user, key, tags.artist.c_str(),
                    tags.title.c_str(), tags.album.c_str(), tags.year.c_str(), tags.genre.c_str());
  if (length < kFormatLimit) return;
  const std::size_t escaped_from = std::strlen(kServiceBaseUrl) + std::strlen(user) +
                                   std::strlen(key) + kTrackHead.size() - 2 * kTrackHeadConversions;
  DropPartialEscape(url, escaped_from);
}

// Sets RequestInFlight and starts a worker on ReportUrl. When no worker starts, clears the flag
// again and returns false; the caller then leaves the rest of ReporterState as it was.
bool StartFlaggedReport() {
  ReporterState.RequestInFlight.store(1);
  if (StartReport(ReporterState.ReportUrl)) return true;
  ReporterState.RequestInFlight.store(0);
  return false;
}

void ReportStopped() {
  if (ReporterState.StoppedSent) return;
  FormatStoppedReport(ReporterState.ReportUrl);
  if (!StartFlaggedReport()) return;
  ReporterState.StoppedSent = 1;
  ReporterState.LastReported.assign(kStoppedKey);
}

// Fills g_scratch.artist and .title (escaped) for the file at `path`, which may be null. When the
// host lacks either value, both come from the file name.
void ReadArtistAndTitle(const char* path) {
  EscapeTag(GetTagValue(path, kTagArtist), g_scratch.artist);
  EscapeTag(GetTagValue(path, kTagTitle), g_scratch.title);
  if (!g_scratch.artist.empty() && !g_scratch.title.empty()) return;
  GuessTagFromFileName(path, kTagArtist, g_scratch.guessed);
  EscapeForUrl(g_scratch.guessed, g_scratch.artist);
  GuessTagFromFileName(path, kTagTitle, g_scratch.guessed);
  EscapeForUrl(g_scratch.guessed, g_scratch.title);
}

void ReportPlaying() {
  CHostLink& host = *Platform().host;
  const std::intptr_t position = host.AskHost(0, kIpcGetListPos);
  const char* path = reinterpret_cast<const char*>(
      host.AskHost(static_cast<std::uintptr_t>(position), kIpcGetPlaylistFile));

  ReadArtistAndTitle(path);
  g_scratch.key.assign(g_scratch.artist).append(kKeySeparator).append(g_scratch.title);
  if (g_scratch.key == ReporterState.LastReported) return;

  EscapeTag(GetTagValue(path, kTagAlbum), g_scratch.album);
  EscapeTag(GetTagValue(path, kTagYear), g_scratch.year);
  EscapeTag(GetTagValue(path, kTagGenre), g_scratch.genre);
  FormatTrackReport(ReporterState.ReportUrl, g_scratch);
  // The only step after the start that could fail is the copy of the key: room for it is made
  // first, so a report is never started without LastReported taking its key.
  ReporterState.LastReported.reserve(g_scratch.key.size());
  if (!StartFlaggedReport()) return;
  ReporterState.StoppedSent = 0;
  ReporterState.LastReported.assign(g_scratch.key);
}

}  // namespace

void FormatStoppedReport(char* url) {
  FormatBounded(url, kStoppedReportFormat, kServiceBaseUrl, Settings.User.c_str(),
                Settings.Key.c_str());
}

bool StartReport(const char* url) {
  return StartReportWorker(url,
                           ReportWorkerLinks{&ReporterState.RequestInFlight, &Settings.Method});
}

void OnReportTimer() {
  if (!Settings.Enabled) return;
  if (ReporterState.RequestInFlight.load() != 0) return;
  // Module load refuses to load without the buffer; without it there is nowhere to format.
  if (ReporterState.ReportUrl == nullptr) return;
  if (Platform().host->AskHost(0, kIpcIsPlaying) == 1) {
    ReportPlaying();
  } else {
    ReportStopped();
  }
}
