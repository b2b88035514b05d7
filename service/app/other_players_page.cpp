// The account page's section "Other players": the player token and how to set up each client.
#include "app/account_page.h"
#include "app/service.h"

namespace {

std::string Code(const std::string& id, const std::string& text) {
  return "<code id=\"" + id + "\">" + EscapeHtml(text) + "</code>";
}

}  // namespace

std::string OtherPlayersSectionHtml(const CAccountPage& page) {
  const std::string listenBrainz = page.publicUrl;
  const std::string submit = page.publicUrl + "/1/submit-listens";
  const std::string scrobbler = page.publicUrl + "/audioscrobbler/";
  const std::string token = page.playerToken.empty() ? "YOUR-PLAYER-TOKEN" : page.playerToken;
  std::string html = "<section id=\"other-players\">\n<h2>Other players</h2>\n";
  html +=
      "<p>Browsers, phones, Linux players and music servers feed this signature too, through the "
      "ListenBrainz or the Audioscrobbler 1.2 protocol. They sign in with a player token, not "
      "with the key: the newest report of any player is what the signature shows.</p>\n";
  if (!page.playerToken.empty()) {
    html +=
        "<p>Your player token, shown only this once:</p>\n<p class=\"key\" id=\"player-token\">" +
        EscapeHtml(page.playerToken) + "</p>\n";
  } else if (page.hasPlayerToken) {
    html +=
        "<p>A player token is in use. A new one replaces it at once: players with the old "
        "one are refused until they get the new one.</p>\n";
  } else {
    html += "<p>There is no player token yet.</p>\n";
  }
  html += "<form method=\"post\" action=\"/account/token\">\n" + std::string() +
          "<input type=\"hidden\" name=\"csrf\" value=\"" + EscapeHtml(page.csrf) + "\">\n" +
          "<button class=\"plain\" id=\"new-token\">" +
          (page.hasPlayerToken ? "Make a new player token" : "Make a player token") +
          "</button>\n</form>\n";
  html += "<p>ListenBrainz server: " + Code("listenbrainz-url", listenBrainz) +
          " (whole submission address: " + Code("listenbrainz-submit-url", submit) +
          ").<br>Audioscrobbler 1.2 handshake address: " + Code("audioscrobbler-url", scrobbler) +
          ", user name <strong>" + EscapeHtml(page.name) +
          "</strong>, the player token as the password.</p>\n<ul class=\"clients\">\n";
  html +=
      "<li><strong>Web Scrobbler</strong> (browser): in its ListenBrainz account settings, "
      "set the custom API URL to " +
      EscapeHtml(submit) + " and the user token.</li>\n";
  html +=
      "<li><strong>rescrobbled</strong> (Linux): in <code>config.toml</code>, a "
      "<code>[[listenbrainz]]</code> table with <code>url = \"" +
      EscapeHtml(listenBrainz) + "\"</code> and <code>token = \"" + EscapeHtml(token) +
      "\"</code>.</li>\n";
  html +=
      "<li><strong>mpris-scrobbler</strong> (Linux): sign in to ListenBrainz with the "
      "token and the API address " +
      EscapeHtml(listenBrainz) + ".</li>\n";
  html += "<li><strong>Navidrome</strong>: <code>ND_LISTENBRAINZ_BASEURL=" +
          EscapeHtml(page.publicUrl) +
          "/1/</code>, then link ListenBrainz in your personal "
          "settings with the token.</li>\n";
  html += "<li><strong>Jellyfin</strong>: in the ListenBrainz plug-in, the API URL " +
          EscapeHtml(listenBrainz) + " and the token.</li>\n";
  html +=
      "<li><strong>Pano Scrobbler</strong> (phone): add a custom ListenBrainz account with "
      "the API URL " +
      EscapeHtml(listenBrainz) + "/ and the token.</li>\n";
  html +=
      "<li><strong>mpdscribble</strong> (MPD): a section in <code>mpdscribble.conf</code>:"
      "<pre style=\"white-space: pre-wrap; word-break: break-all\">[velk]\nurl = " +
      EscapeHtml(scrobbler) + "\nusername = " + EscapeHtml(page.name) +
      "\npassword = " + EscapeHtml(token) + "</pre></li>\n";
  html += "</ul>\n</section>\n";
  return html;
}
