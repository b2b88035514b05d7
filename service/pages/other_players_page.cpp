// The account page's section "Other players": the player token and how to set up each client.
#include "pages/account_page.h"

CPageData OtherPlayersSection(const CAccountPage& page) {
  CPageData data;
  data.set("public_url", page.publicUrl);
  data.set("listenbrainz_url", page.publicUrl);
  data.set("submit_url", page.publicUrl + "/1/submit-listens");
  data.set("scrobbler_url", page.publicUrl + "/audioscrobbler/");
  data.set("has_token_shown", !page.playerToken.empty());
  data.set("token", page.playerToken);
  data.set("has_token", page.hasPlayerToken);
  data.set("example_token", page.playerToken.empty() ? "YOUR-PLAYER-TOKEN" : page.playerToken);
  return data;
}
