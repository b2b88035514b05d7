// The history layouts: "Recently played" and the charts of top artists and top tracks.
#pragma once

#include <pango/pango.h>

#include <vector>

#include "render/history_view.h"
#include "render/render.h"
#include "render/scene.h"

// `view` laid out as a kHistoryWidth x kHistoryHeight scene: a heading with the user's name, then
// the rows. Recently played: up to five rows in one column, six to ten in two columns of five
// with smaller text; each row "artist – title" with its note at the right, the playing row on a
// band of the accent. Charts: up to five rows, each a rank, the name, its play count and a bar of
// the accent as long as its share of the first row's plays. No rows: a line that says so.
// Texts are laid out with `context`, whose language the caller has set; `drawn`, when given,
// receives every text placed.
CScene LayOutHistory(PangoContext* context, const CHistoryView& view,
                     std::vector<CDrawnText>* drawn);
